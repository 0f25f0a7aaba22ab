// Version information: the RT_VERSION resource a library carries, and the
// calls that read it from a library file.
//
// Declarations only; libvornrt.so implements them.
#pragma once

#include "platform/resource.h"

constexpr DWORD VS_FFI_SIGNATURE = 0xFEEF04BD;
constexpr DWORD VS_FFI_STRUCVERSION = 0x00010000;
constexpr DWORD VS_FFI_FILEFLAGSMASK = 0x0000003F;
constexpr DWORD VOS__WINDOWS32 = 0x00000004;
constexpr DWORD VFT_APP = 0x1;
constexpr DWORD VFT_DLL = 0x2;

struct VS_FIXEDFILEINFO {
  DWORD dwSignature;  // VS_FFI_SIGNATURE
  DWORD dwStrucVersion;
  DWORD dwFileVersionMS;  // major << 16 | minor
  DWORD dwFileVersionLS;  // build << 16 | revision
  DWORD dwProductVersionMS;
  DWORD dwProductVersionLS;
  DWORD dwFileFlagsMask;
  DWORD dwFileFlags;
  DWORD dwFileOS;
  DWORD dwFileType;
  DWORD dwFileSubtype;
  DWORD dwFileDateMS;
  DWORD dwFileDateLS;
};

struct VERSION_STRING {
  LPCSTR key;    // e.g. "ProductName"
  LPCSTR value;  // UTF-8; "" for an empty value
};

// The data of an RT_VERSION resource on this platform.
struct VERSION_RESOURCE {
  VS_FIXEDFILEINFO fixed;
  WORD language;  // e.g. 0x0409
  WORD codePage;  // e.g. 1200
  const VERSION_STRING* strings;
  UINT stringCount;
};

// The size of the version block of `file` (a loadable library with an
// RT_VERSION resource 1); 0 when it has none or cannot be loaded. *handle
// (may be null) is set to 0.
VORN_API DWORD GetFileVersionInfoSizeA(LPCSTR file, LPDWORD handle);
// Copies the version block of `file` into `data` (`size` bytes, as
// GetFileVersionInfoSizeA said). FALSE when it does not fit or is missing.
VORN_API BOOL GetFileVersionInfoA(LPCSTR file, DWORD handle, DWORD size, LPVOID data);
// Finds a value in a version block:
//   "\"                                 the VS_FIXEDFILEINFO
//   "\VarFileInfo\Translation"          a DWORD: language | code page << 16
//   "\StringFileInfo\040904B0\<key>"    a value's NUL-terminated text; the
//                                        language and code page in hex
// *value points into `block`; *length is the size of the structure in bytes
// or the text's length in characters without its NUL. FALSE when not found.
VORN_API BOOL VerQueryValueA(const void* block, LPCSTR subBlock, void** value, UINT* length);
