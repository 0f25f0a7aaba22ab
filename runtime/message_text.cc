// Descriptions of the result codes the platform hands out.

#include <cstring>

#include "platform/automation.h"
#include "platform/message_text.h"
#include "platform/registry.h"
#include "platform/typelib.h"

namespace {

struct Description {
  HRESULT code;
  const char* text;
};

constexpr Description kDescriptions[] = {
    {S_OK, "S_OK: The operation completed successfully."},
    {S_FALSE, "S_FALSE: The operation completed with a negative answer."},
    {E_NOTIMPL, "E_NOTIMPL: Not implemented."},
    {E_NOINTERFACE, "E_NOINTERFACE: No such interface supported."},
    {E_POINTER, "E_POINTER: Invalid pointer."},
    {E_ABORT, "E_ABORT: Operation aborted."},
    {E_FAIL, "E_FAIL: Unspecified error."},
    {E_UNEXPECTED, "E_UNEXPECTED: Catastrophic failure."},
    {E_ACCESSDENIED, "E_ACCESSDENIED: Access is denied."},
    {E_HANDLE, "E_HANDLE: The handle is invalid."},
    {E_OUTOFMEMORY, "E_OUTOFMEMORY: Not enough memory."},
    {E_INVALIDARG, "E_INVALIDARG: One or more arguments are invalid."},
    {CLASS_E_NOAGGREGATION, "CLASS_E_NOAGGREGATION: Class does not support aggregation."},
    {CLASS_E_CLASSNOTAVAILABLE, "CLASS_E_CLASSNOTAVAILABLE: The class factory cannot supply the requested class."},
    {REGDB_E_READREGDB, "REGDB_E_READREGDB: Could not read key from registry."},
    {REGDB_E_WRITEREGDB, "REGDB_E_WRITEREGDB: Could not write key to registry."},
    {REGDB_E_KEYMISSING, "REGDB_E_KEYMISSING: Could not find the key in the registry."},
    {REGDB_E_CLASSNOTREG, "REGDB_E_CLASSNOTREG: Class not registered."},
    {SELFREG_E_TYPELIB, "SELFREG_E_TYPELIB: The type library could not be registered or unregistered."},
    {SELFREG_E_CLASS, "SELFREG_E_CLASS: The classes could not be registered or unregistered."},
    {CO_E_NOTINITIALIZED, "CO_E_NOTINITIALIZED: CoInitialize has not been called."},
    {CO_E_CLASSSTRING, "CO_E_CLASSSTRING: Invalid class string."},
    {CO_E_DLLNOTFOUND, "CO_E_DLLNOTFOUND: The library of the class could not be loaded."},
    {CO_E_ERRORINDLL, "CO_E_ERRORINDLL: The library of the class has no class object entry."},
    {STG_E_INVALIDFUNCTION, "STG_E_INVALIDFUNCTION: Invalid function."},
    {STG_E_FILENOTFOUND, "STG_E_FILENOTFOUND: The file could not be found."},
    {STG_E_ACCESSDENIED, "STG_E_ACCESSDENIED: Access denied."},
    {STG_E_INVALIDPOINTER, "STG_E_INVALIDPOINTER: Invalid pointer."},
    {STG_E_WRITEFAULT, "STG_E_WRITEFAULT: A disk error occurred during a write operation."},
    {STG_E_READFAULT, "STG_E_READFAULT: A disk error occurred during a read operation."},
    {STG_E_MEDIUMFULL, "STG_E_MEDIUMFULL: There is insufficient disk space."},
    {STG_E_REVERTED, "STG_E_REVERTED: The object has been invalidated."},
    {DISP_E_UNKNOWNINTERFACE, "DISP_E_UNKNOWNINTERFACE: Unknown interface."},
    {DISP_E_MEMBERNOTFOUND, "DISP_E_MEMBERNOTFOUND: Member not found."},
    {DISP_E_PARAMNOTFOUND, "DISP_E_PARAMNOTFOUND: Parameter not found."},
    {DISP_E_TYPEMISMATCH, "DISP_E_TYPEMISMATCH: Type mismatch."},
    {DISP_E_UNKNOWNNAME, "DISP_E_UNKNOWNNAME: Unknown name."},
    {DISP_E_NONAMEDARGS, "DISP_E_NONAMEDARGS: No named arguments."},
    {DISP_E_BADVARTYPE, "DISP_E_BADVARTYPE: Bad variable type."},
    {DISP_E_EXCEPTION, "DISP_E_EXCEPTION: Exception occurred."},
    {DISP_E_OVERFLOW, "DISP_E_OVERFLOW: Out of present range."},
    {DISP_E_BADINDEX, "DISP_E_BADINDEX: Invalid index."},
    {DISP_E_BADPARAMCOUNT, "DISP_E_BADPARAMCOUNT: Invalid number of parameters."},
    {DISP_E_PARAMNOTOPTIONAL, "DISP_E_PARAMNOTOPTIONAL: Parameter not optional."},
    {TYPE_E_REGISTRYACCESS, "TYPE_E_REGISTRYACCESS: Error accessing the registry."},
    {TYPE_E_LIBNOTREGISTERED, "TYPE_E_LIBNOTREGISTERED: Library not registered."},
    {TYPE_E_ELEMENTNOTFOUND, "TYPE_E_ELEMENTNOTFOUND: Element not found."},
    {TYPE_E_INVDATAREAD, "TYPE_E_INVDATAREAD: Error reading the type library."},
    {TYPE_E_UNSUPFORMAT, "TYPE_E_UNSUPFORMAT: The type library has an older or newer format."},
    {TYPE_E_CANTLOADLIBRARY, "TYPE_E_CANTLOADLIBRARY: Error loading type library."},
    {HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND), "ERROR_FILE_NOT_FOUND: The system cannot find the file specified."},
    {HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED), "ERROR_ACCESS_DENIED: Access is denied."},
    {HRESULT_FROM_WIN32(ERROR_INVALID_DATA), "ERROR_INVALID_DATA: The data is invalid."},
    {HRESULT_FROM_WIN32(ERROR_WRITE_FAULT), "ERROR_WRITE_FAULT: The system cannot write to the specified device."},
    {HRESULT_FROM_WIN32(ERROR_READ_FAULT), "ERROR_READ_FAULT: The system cannot read from the specified device."},
    {HRESULT_FROM_WIN32(ERROR_DISK_FULL), "ERROR_DISK_FULL: There is not enough space on the disk."},
    {HRESULT_FROM_WIN32(ERROR_MOD_NOT_FOUND), "ERROR_MOD_NOT_FOUND: The specified module could not be found."},
    {HRESULT_FROM_WIN32(ERROR_PROC_NOT_FOUND), "ERROR_PROC_NOT_FOUND: The specified procedure could not be found."},
    {HRESULT_FROM_WIN32(ERROR_BADDB), "ERROR_BADDB: The registry file is corrupt."},
    {HRESULT_FROM_WIN32(ERROR_CANTOPEN), "ERROR_CANTOPEN: The registry file could not be opened."},
    {HRESULT_FROM_WIN32(ERROR_CANTREAD), "ERROR_CANTREAD: The registry file could not be read."},
    {HRESULT_FROM_WIN32(ERROR_CANTWRITE), "ERROR_CANTWRITE: The registry file could not be written."},
};

}  // namespace

DWORD FormatMessageA(DWORD flags, const void* /*source*/, DWORD messageId, DWORD /*languageId*/,
                     LPSTR buffer, DWORD size, void* /*arguments*/) {
  if (!(flags & FORMAT_MESSAGE_FROM_SYSTEM) || !buffer) return 0;
  if (flags & ~(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS)) return 0;
  HRESULT code = static_cast<HRESULT>(messageId);
  // A small positive number is a Win32 error code.
  if (code > 1 && code <= 0xFFFF) code = HRESULT_FROM_WIN32(code);
  for (const Description& d : kDescriptions) {
    if (d.code != code) continue;
    const size_t length = std::strlen(d.text);
    if (length + 1 > size) return 0;
    std::memcpy(buffer, d.text, length + 1);
    return static_cast<DWORD>(length);
  }
  return 0;
}
