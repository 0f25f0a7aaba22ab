// Temporary platform roots for tests. Nothing a test does may touch a user's
// real root, so every test program starts in a root of its own, and a test
// that needs a clean one makes a TempRoot.
#pragma once

#include <string>

namespace vorn_test {

// Makes a new empty folder, points VORN_ROOT at it for the object's lifetime,
// then restores the previous value and removes the folder with its contents.
class TempRoot {
 public:
  TempRoot();
  ~TempRoot();
  TempRoot(const TempRoot&) = delete;
  TempRoot& operator=(const TempRoot&) = delete;

  const std::string& path() const { return path_; }

 private:
  std::string path_;
  std::string previous_;
  bool hadPrevious_ = false;
};

// A new empty temporary folder (not a root); the caller removes it with
// RemoveTree.
std::string MakeTempDir(const char* prefix);
void RemoveTree(const std::string& path);

// The folder holding the built libraries and programs.
std::string BinDir();
// The source tree's root.
std::string SourceDir();

}  // namespace vorn_test
