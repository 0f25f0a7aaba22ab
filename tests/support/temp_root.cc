#include "tests/support/temp_root.h"

#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <vector>

namespace vorn_test {

std::string MakeTempDir(const char* prefix) {
  const char* tmp = std::getenv("TMPDIR");
  std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/" + prefix + "-XXXXXX";
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  if (!mkdtemp(buffer.data())) throw std::runtime_error("mkdtemp failed for " + pattern);
  return std::string(buffer.data());
}

void RemoveTree(const std::string& path) {
  std::error_code ignored;
  std::filesystem::remove_all(path, ignored);
}

TempRoot::TempRoot() : path_(MakeTempDir("vorn-root")) {
  if (const char* old = std::getenv("VORN_ROOT")) {
    previous_ = old;
    hadPrevious_ = true;
  }
  setenv("VORN_ROOT", path_.c_str(), 1);
}

TempRoot::~TempRoot() {
  if (hadPrevious_) {
    setenv("VORN_ROOT", previous_.c_str(), 1);
  } else {
    unsetenv("VORN_ROOT");
  }
  RemoveTree(path_);
}

std::string BinDir() {
#ifdef VORN_BIN_DIR
  return VORN_BIN_DIR;
#else
  return ".";
#endif
}

std::string SourceDir() {
#ifdef VORN_SOURCE_DIR
  return VORN_SOURCE_DIR;
#else
  return ".";
#endif
}

}  // namespace vorn_test
