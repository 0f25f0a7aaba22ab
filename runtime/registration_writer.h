// RegistrationWriter: writes the registry entries of a self-registering
// library and takes them all back again when any step fails, so that a
// registration either completes or leaves the registry as it found it.
//
//   RegistrationWriter writer;
//   if (!writer.Write(ClassKeyPath(clsid), {{"", "My Class"}}) ||
//       !writer.Write(ClassKeyPath(clsid) + "\\InprocServer32", {{"", path}})) {
//     return SELFREG_E_CLASS;            // the writer rolls back as it goes
//   }
//   writer.Commit();
#pragma once

#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

#include "platform/registry.h"
#include "platform/unknown.h"

namespace vorn_rt {

// A named string value; the name "" is the key's default value.
using RegistryValue = std::pair<const char*, std::string>;

class VORN_API RegistrationWriter {
 public:
  // Writes below `root` unless a call names another root.
  explicit RegistrationWriter(HKEY root = HKEY_CLASSES_ROOT) : root_(root) {}
  // Rolls back unless Commit() was called.
  ~RegistrationWriter();
  RegistrationWriter(const RegistrationWriter&) = delete;
  RegistrationWriter& operator=(const RegistrationWriter&) = delete;

  // Creates the key `path` (and each missing parent) and sets `values` as
  // REG_SZ values in it. Every key it creates and every value it sets is
  // recorded: a value that was there before is kept to be restored. False
  // at the first failure; the caller then gives up and the writer, when it
  // goes, rolls back all it recorded.
  bool Write(const std::string& path, std::initializer_list<RegistryValue> values = {});
  bool Write(HKEY root, const std::string& path, std::initializer_list<RegistryValue> values = {});

  // Writes the usual entries of an in-process class: CLSID\{clsid} with the
  // class's name as its default value, and its InprocServer32 key naming
  // `libraryPath`, with the value ThreadingModel when `threadingModel` is
  // not null.
  bool WriteServerClass(REFCLSID clsid, const std::string& name, const std::string& libraryPath,
                        const char* threadingModel);

  // The registry's status of the step that failed; ERROR_SUCCESS while
  // none has (ERROR_NOT_ENOUGH_MEMORY when memory ran out).
  LSTATUS status() const { return status_; }

  // Keeps everything written so far.
  void Commit() { log_.clear(); }
  // Takes back everything recorded, newest first: restores each value that
  // was overwritten, deletes each value that was added and each key that was
  // created. Returns false when some step of the rollback failed.
  bool Rollback();

 private:
  struct Step {
    HKEY root;
    std::string path;
    bool createdKey;         // true: the key was created; the value fields are unused
    std::string valueName;   // otherwise a value was set in an existing key
    bool hadValue = false;   // ... which held this before
    DWORD oldType = REG_NONE;
    std::vector<BYTE> oldData;
  };

  bool CreateKey(HKEY root, const std::string& path);
  bool SetValue(HKEY root, const std::string& path, HKEY key, const RegistryValue& value,
                bool keyIsNew);

  HKEY root_;
  std::vector<Step> log_;
  LSTATUS status_ = ERROR_SUCCESS;
};

// One class a library serves: its identifier and its name.
struct ServerClass {
  const CLSID* clsid;
  const char* name;
};

// The whole DllRegisterServer of a library that serves `classes`: each is
// written with WriteServerClass, naming the library that holds `anchor` (an
// address inside it) with the threading model "Both", all or none.
// SELFREG_E_CLASS when the library's path cannot be found or a step fails.
VORN_API HRESULT RegisterOwnServerClasses(std::initializer_list<ServerClass> classes,
                                          const void* anchor);

// "CLSID\{...}": the key of a class below HKEY_CLASSES_ROOT.
VORN_API std::string ClassKeyPath(REFCLSID clsid);

// Removes CLSID\{clsid} with everything under it. True when it is gone,
// also when it was never there.
VORN_API bool RemoveServerClass(REFCLSID clsid);

}  // namespace vorn_rt
