#include "runtime/registration_writer.h"

#include "platform/runtime.h"
#include "runtime/registry_key.h"
#include "runtime/server_module.h"
#include "runtime/status_guard.h"

namespace vorn_rt {

RegistrationWriter::~RegistrationWriter() { Rollback(); }

bool RegistrationWriter::Write(const std::string& path,
                               std::initializer_list<RegistryValue> values) {
  return Write(root_, path, values);
}

bool RegistrationWriter::Write(HKEY root, const std::string& path,
                               std::initializer_list<RegistryValue> values) {
  try {
    // Each missing parent is created on its own, so that a rollback takes
    // away the whole branch it added and nothing above it.
    bool keyIsNew = false;
    for (size_t end = path.find('\\'); ; end = path.find('\\', end + 1)) {
      const std::string prefix = path.substr(0, end);
      RegistryKey key;
      bool created = false;
      status_ = key.Create(root, prefix, &created);
      if (status_ != ERROR_SUCCESS) return false;
      if (created) log_.push_back(Step{root, prefix, true, {}, false, REG_NONE, {}});
      keyIsNew = keyIsNew || created;
      if (end == std::string::npos) {
        for (const RegistryValue& value : values) {
          if (!SetValue(root, path, key.get(), value, keyIsNew)) return false;
        }
        return true;
      }
    }
  } catch (...) {
    status_ = ERROR_NOT_ENOUGH_MEMORY;
    return false;
  }
}

bool RegistrationWriter::SetValue(HKEY root, const std::string& path, HKEY key,
                                  const RegistryValue& value, bool keyIsNew) {
  if (!keyIsNew) {
    Step step{root, path, false, value.first, false, REG_NONE, {}};
    DWORD size = 0;
    if (RegQueryValueExA(key, value.first, nullptr, &step.oldType, nullptr, &size) ==
        ERROR_SUCCESS) {
      step.oldData.resize(size);
      status_ = RegQueryValueExA(key, value.first, nullptr, &step.oldType, step.oldData.data(),
                                 &size);
      if (status_ != ERROR_SUCCESS) return false;
      step.oldData.resize(size);
      step.hadValue = true;
    }
    log_.push_back(std::move(step));
  }
  const std::string& text = value.second;
  status_ = RegSetValueExA(key, value.first, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                           static_cast<DWORD>(text.size() + 1));
  return status_ == ERROR_SUCCESS;
}

bool RegistrationWriter::WriteServerClass(REFCLSID clsid, const std::string& name,
                                          const std::string& libraryPath,
                                          const char* threadingModel) {
  try {
    const std::string key = ClassKeyPath(clsid);
    if (!Write(HKEY_CLASSES_ROOT, key, {{"", name}})) return false;
    if (threadingModel) {
      return Write(HKEY_CLASSES_ROOT, key + "\\InprocServer32",
                   {{"", libraryPath}, {"ThreadingModel", threadingModel}});
    }
    return Write(HKEY_CLASSES_ROOT, key + "\\InprocServer32", {{"", libraryPath}});
  } catch (...) {
    status_ = ERROR_NOT_ENOUGH_MEMORY;
    return false;
  }
}

bool RegistrationWriter::Rollback() {
  bool ok = true;
  for (auto it = log_.rbegin(); it != log_.rend(); ++it) {
    if (it->createdKey) {
      ok = RemoveRegistryTree(it->root, it->path) && ok;
      continue;
    }
    RegistryKey key;
    if (key.Open(it->root, it->path, KEY_SET_VALUE) != ERROR_SUCCESS) {
      ok = false;
      continue;
    }
    const char* name = it->valueName.c_str();
    LSTATUS status;
    if (it->hadValue) {
      status = RegSetValueExA(key.get(), name, 0, it->oldType, it->oldData.data(),
                              static_cast<DWORD>(it->oldData.size()));
    } else {
      status = RegDeleteValueA(key.get(), name);
      if (status == ERROR_FILE_NOT_FOUND) status = ERROR_SUCCESS;
    }
    ok = status == ERROR_SUCCESS && ok;
  }
  log_.clear();
  return ok;
}

std::string ClassKeyPath(REFCLSID clsid) {
  char text[40] = {};
  StringFromGUID2(clsid, text, sizeof text);
  return std::string("CLSID\\") + text;
}

bool RemoveServerClass(REFCLSID clsid) {
  try {
    return RemoveRegistryTree(HKEY_CLASSES_ROOT, ClassKeyPath(clsid));
  } catch (...) {
    return false;
  }
}

HRESULT RegisterOwnServerClasses(std::initializer_list<ServerClass> classes,
                                 const void* anchor) {
  return Guarded(
      [&] {
        const std::string path = LibraryPathOf(anchor);
        if (path.empty()) return SELFREG_E_CLASS;
        RegistrationWriter writer;
        for (const ServerClass& served : classes) {
          if (!writer.WriteServerClass(*served.clsid, served.name, path, "Both")) {
            return SELFREG_E_CLASS;
          }
        }
        writer.Commit();
        return S_OK;
      },
      SELFREG_E_CLASS);
}

}  // namespace vorn_rt
