// The registry file of the current root folder and the tree read from it.
//
// Readers use the cached tree while the file's identity (device, inode, size,
// modification and change times) stays the same, and read it again when
// another process has replaced it. A change is made under an exclusive
// advisory lock on "registry.lock" in the root folder: the file is read anew
// under the lock, the change is applied, and the result is written to
// "registry.reg.tmp", flushed to disk, renamed over "registry.reg", and the
// folder is flushed. A crash at any point leaves either the old file or the
// new one, and two processes never lose each other's changes.
//
// A file that cannot be parsed is reported once on standard error with its
// path and line, is never written, and makes every call fail with
// ERROR_BADDB until someone mends or removes it.
//
// Not thread-safe: the caller serialises all calls.
#pragma once

#include <sys/stat.h>

#include <functional>
#include <string>

#include "runtime/registry_file.h"

namespace vorn_rt {

class RegistryStore {
 public:
  RegistryStore() = default;
  RegistryStore(const RegistryStore&) = delete;
  RegistryStore& operator=(const RegistryStore&) = delete;

  // Brings tree() up to date with the file. ERROR_SUCCESS (a missing file is
  // an empty registry), ERROR_BADDB, ERROR_CANTOPEN when there is no root
  // folder, ERROR_CANTREAD when the file cannot be read.
  LONG Refresh();

  // Valid after Refresh or Modify returned ERROR_SUCCESS.
  const RegistryTree& tree() const { return tree_; }

  // Applies `change` to the file's current content and writes the result
  // when `change` returns ERROR_SUCCESS and sets *changed. `change` must
  // leave the tree as it found it when it fails. Returns the change's status
  // or the error of reading or writing the file (ERROR_BADDB, ERROR_CANTREAD,
  // ERROR_DISK_FULL, ERROR_ACCESS_DENIED, ERROR_CANTWRITE); after a failed
  // write the cached tree is read again on next use.
  using Change = std::function<LONG(RegistryTree& tree, bool* changed)>;
  LONG Modify(const Change& change);

 private:
  struct Stamp {
    bool exists = false;
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = 0;
    struct timespec modified {};
    struct timespec changed {};
    bool operator==(const Stamp& other) const;
  };
  static Stamp StampOf(const struct stat& info);

  LONG Load(const std::string& path, bool force);
  LONG ReadAndParse(const std::string& path);
  LONG WriteAtomically(const std::string& root, const std::string& path,
                       const std::string& text);
  void ReportBadFile(const std::string& path, const ParseError& error);

  RegistryTree tree_;
  bool loaded_ = false;  // tree_ and bad_ describe the file at path_ with stamp_
  bool bad_ = false;
  std::string path_;
  Stamp stamp_;
  std::string reportedPath_;  // the bad file last reported, so it is reported once
  Stamp reportedStamp_;
};

}  // namespace vorn_rt
