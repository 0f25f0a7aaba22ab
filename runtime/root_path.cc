// The platform's root folder.

#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/runtime.h"
#include "runtime/root_path.h"

namespace vorn_rt {
namespace {

// Creates `path` and its missing parents (mode 0700 for what is created).
bool MakeDirectories(const std::string& path) {
  struct stat info {};
  if (stat(path.c_str(), &info) == 0) return S_ISDIR(info.st_mode);
  for (size_t slash = path.find('/', 1); ; slash = path.find('/', slash + 1)) {
    const std::string prefix = slash == std::string::npos ? path : path.substr(0, slash);
    if (mkdir(prefix.c_str(), 0700) != 0 && errno != EEXIST) return false;
    if (slash == std::string::npos) break;
  }
  return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

const char* NonEmptyEnv(const char* name) {
  const char* value = std::getenv(name);
  return value && *value ? value : nullptr;
}

}  // namespace

std::string RootPath() {
  std::string path;
  if (const char* root = NonEmptyEnv("VORN_ROOT")) {
    path = root;
  } else if (const char* data = NonEmptyEnv("XDG_DATA_HOME"); data && data[0] == '/') {
    // Relative XDG_DATA_HOME values are ignored, as the base-directory rules say.
    path = std::string(data) + "/vorn";
  } else if (const char* home = NonEmptyEnv("HOME")) {
    path = std::string(home) + "/.local/share/vorn";
  } else {
    return {};
  }
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  if (!MakeDirectories(path)) return {};
  return path;
}

}  // namespace vorn_rt

DWORD VornGetRootPath(LPSTR path, DWORD cb) {
  try {
    const std::string root = vorn_rt::RootPath();
    if (root.empty()) return 0;
    if (path && root.size() + 1 <= cb) std::memcpy(path, root.c_str(), root.size() + 1);
    return static_cast<DWORD>(root.size());
  } catch (...) {
    return 0;
  }
}
