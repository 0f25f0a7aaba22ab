// What the importer's tests share: a fresh platform root with the built
// store server and MIME library registered, ways to build sources (mbox
// files, Maildir folders) and to read the store back through its
// interfaces.
#pragma once

#include <gtest/gtest.h>
#include <sys/types.h>

#include <memory>
#include <string>
#include <vector>

#include "platform/store.h"
#include "platform/store_import.h"
#include "runtime/com_ptr.h"
#include "tests/support/temp_root.h"

namespace import_test {

// One stored message as the store gives it back.
struct StoredMessage {
  MESSAGEID id = 0;
  std::string raw;
  uint64_t received = 0;
  DWORD flags = 0;
  std::string subject;
};

// The result of one run of the importer: its exit status and what it wrote.
struct RunResult {
  int status = -1;
  std::string out;
  std::string err;
};

// A message as an mboxrd writer puts it in a file: one ">" more on every
// line matching ^>*From , a separator before it and an empty line after it.
std::string MboxEntry(const std::string& message, const std::string& separator);

// FILETIME ticks of a UTC calendar time.
uint64_t Ticks(int year, int month, int day, int hour, int minute, int second);

// SHA-256 of `bytes`, as the store computes it.
std::string Digest(IStoreImport* import, const std::string& bytes);

void WriteFile(const std::string& path, const std::string& bytes);

class ImporterTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Runs the importer in process with `args`, as the program would.
  RunResult Import(const std::vector<std::string>& args);
  // Runs the built vornimport program.
  RunResult ImportProgram(const std::vector<std::string>& args);
  // Starts it without waiting; `name` keeps the output files of runs at the
  // same time apart. The pid is 0 when it could not start.
  pid_t StartImportProgram(const std::vector<std::string>& args, const std::string& name);
  RunResult WaitImportProgram(pid_t pid, const std::string& name);

  // A path inside a folder of the test's own, removed with it.
  std::string PathFor(const std::string& name) const { return work_ + "/" + name; }

  // The store, opened on the test's root (after the importer ran).
  IStoreNamespace* store();
  IStoreImport* store_import();
  // The folder at a name path ("" for the root), FOLDERID_INVALID if none.
  STOREFOLDERID FindFolder(const std::string& path);
  STOREFOLDERID Inbox() { return FindFolder("Inbox"); }
  // Every message of `folder` in identifier order, with its raw text read
  // through OpenMessage(IID_IStream).
  std::vector<StoredMessage> Messages(STOREFOLDERID folder);
  // How many messages the whole store holds.
  size_t CountAll(STOREFOLDERID parent = FOLDERID_ROOT);
  // Lets go of the store, so that the next call opens the store of the
  // current root anew.
  void CloseStore();

  std::unique_ptr<vorn_test::TempRoot> root_;
  std::string work_;

 private:
  ComPtr<IStoreNamespace> store_;
  ComPtr<IStoreImport> import_;
  bool initialised_ = false;
};

// Registers the store server (and, unless `withMime` is false, the MIME
// library) from the build folder into the current root.
void RegisterServices(bool withMime = true);

}  // namespace import_test
