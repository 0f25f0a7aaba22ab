// Shared libraries over the system's dynamic loader.
//
// A module handle is the address at which the library is mapped, as the
// loader reports it for any address inside the library. That makes handles
// from LoadLibraryA and from VornModuleFromAddress the same value for the same
// library, and lets every call check a handle against the loader's own list
// (dladdr) instead of dereferencing it. LoadLibraryA's loads are counted per
// handle, so FreeLibrary undoes only loads that really happened.

#include <dlfcn.h>
#include <link.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>

#include "platform/loader.h"

namespace {

struct LoadedLibrary {
  void* handle = nullptr;  // from dlopen; closed once per counted load
  long loads = 0;
  std::string path;  // absolute path at load time
};

struct LoaderState {
  std::mutex mutex;
  std::map<const void*, LoadedLibrary> libraries;  // by module handle
};

LoaderState& State() {
  // Never destroyed: libraries may be freed from static destructors.
  static LoaderState* state = new LoaderState;
  return *state;
}

// The mapping base of the object containing `address`, or null.
const void* BaseOf(const void* address) {
  Dl_info info{};
  if (!address || dladdr(address, &info) == 0) return nullptr;
  return info.dli_fbase;
}

// True when `module` is the mapping base of a loaded object; fills `info`.
bool IsModuleBase(HMODULE module, Dl_info* info) {
  return module && dladdr(module, info) != 0 && info->dli_fbase == module;
}

std::string AbsolutePath(const char* name) {
  if (!name || !*name) return {};
  char resolved[PATH_MAX];
  if (realpath(name, resolved)) return resolved;
  return name;
}

std::string MainProgramPath() {
  char buffer[PATH_MAX];
  const ssize_t length = readlink("/proc/self/exe", buffer, sizeof(buffer));
  if (length <= 0 || static_cast<size_t>(length) >= sizeof(buffer)) return {};
  return std::string(buffer, static_cast<size_t>(length));
}

bool IsMainProgram(const Dl_info& info) {
  static const void* const mainBase = [] {
    void* self = dlopen(nullptr, RTLD_LAZY);
    link_map* map = nullptr;
    const void* base = nullptr;
    if (self && dlinfo(self, RTLD_DI_LINKMAP, &map) == 0 && map) base = BaseOf(map->l_ld);
    if (self) dlclose(self);
    return base;
  }();
  return info.dli_fbase == mainBase;
}

}  // namespace

HMODULE LoadLibraryA(LPCSTR path) {
  if (!path || !*path) return nullptr;
  try {
    void* handle = dlopen(path, RTLD_NOW | RTLD_LOCAL);
    if (!handle) return nullptr;
    link_map* map = nullptr;
    Dl_info info{};
    if (dlinfo(handle, RTLD_DI_LINKMAP, &map) != 0 || !map || dladdr(map->l_ld, &info) == 0 ||
        !info.dli_fbase) {
      dlclose(handle);
      return nullptr;
    }
    LoaderState& state = State();
    std::lock_guard<std::mutex> lock(state.mutex);
    LoadedLibrary& entry = state.libraries[info.dli_fbase];
    if (entry.loads == 0) {
      entry.handle = handle;
      entry.path = IsMainProgram(info) ? MainProgramPath() : AbsolutePath(info.dli_fname);
    }
    ++entry.loads;
    return static_cast<HMODULE>(const_cast<void*>(info.dli_fbase));
  } catch (...) {
    return nullptr;
  }
}

FARPROC GetProcAddress(HMODULE module, LPCSTR name) {
  if (!module || !name) return nullptr;
  try {
    LoaderState& state = State();
    {
      std::lock_guard<std::mutex> lock(state.mutex);
      auto it = state.libraries.find(module);
      if (it != state.libraries.end()) {
        return reinterpret_cast<FARPROC>(dlsym(it->second.handle, name));
      }
    }
    // A library loaded some other way (found with VornModuleFromAddress).
    Dl_info info{};
    if (!IsModuleBase(module, &info)) return nullptr;
    void* handle = IsMainProgram(info) ? dlopen(nullptr, RTLD_LAZY)
                                       : dlopen(info.dli_fname, RTLD_LAZY | RTLD_NOLOAD);
    if (!handle) return nullptr;
    void* symbol = dlsym(handle, name);
    dlclose(handle);
    return reinterpret_cast<FARPROC>(symbol);
  } catch (...) {
    return nullptr;
  }
}

BOOL FreeLibrary(HMODULE module) {
  if (!module) return FALSE;
  try {
    void* handle = nullptr;
    LoaderState& state = State();
    {
      std::lock_guard<std::mutex> lock(state.mutex);
      auto it = state.libraries.find(module);
      if (it == state.libraries.end()) return FALSE;
      handle = it->second.handle;
      if (--it->second.loads == 0) state.libraries.erase(it);
    }
    // Outside the lock: unloading runs the library's destructors, which may
    // call back into the loader.
    dlclose(handle);
    return TRUE;
  } catch (...) {
    return FALSE;
  }
}

DWORD GetModuleFileNameA(HMODULE module, LPSTR path, DWORD cb) {
  if (!path || cb == 0) return 0;
  try {
    std::string name;
    if (!module) {
      name = MainProgramPath();
    } else {
      LoaderState& state = State();
      {
        std::lock_guard<std::mutex> lock(state.mutex);
        auto it = state.libraries.find(module);
        if (it != state.libraries.end()) name = it->second.path;
      }
      if (name.empty()) {
        Dl_info info{};
        if (!IsModuleBase(module, &info)) return 0;
        name = IsMainProgram(info) ? MainProgramPath() : AbsolutePath(info.dli_fname);
      }
    }
    if (name.empty()) return 0;
    if (name.size() >= cb) {
      std::memcpy(path, name.data(), cb - 1);
      path[cb - 1] = '\0';
      return cb;
    }
    std::memcpy(path, name.c_str(), name.size() + 1);
    return static_cast<DWORD>(name.size());
  } catch (...) {
    return 0;
  }
}

HMODULE VornModuleFromAddress(const void* address) {
  return static_cast<HMODULE>(const_cast<void*>(BaseOf(address)));
}
