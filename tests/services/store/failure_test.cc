// The store when the disk refuses writes: a full disk (made with the file
// size limit, RLIMIT_FSIZE, with SIGXFSZ ignored, so that writes past the
// limit fail with EFBIG as they would with ENOSPC on a full disk; it needs no
// privileges and works for root too) and a store whose files or folder may
// not be written (checked in a worker process that gives up root's
// privileges first, since root writes whatever the permissions say). Every
// change must fail with a negative status and leave what was stored intact.

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "tests/services/store/stress_fixture.h"

namespace store_stress {
namespace {

// Lowers the size any file of this process may grow to, for its lifetime.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t bytes) {
    getrlimit(RLIMIT_FSIZE, &saved_);
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGXFSZ, &ignore, &savedAction_);
    rlimit lowered = saved_;
    lowered.rlim_cur = bytes;
    ok_ = setrlimit(RLIMIT_FSIZE, &lowered) == 0;
  }
  ~FileSizeLimit() {
    setrlimit(RLIMIT_FSIZE, &saved_);
    sigaction(SIGXFSZ, &savedAction_, nullptr);
  }
  FileSizeLimit(const FileSizeLimit&) = delete;
  FileSizeLimit& operator=(const FileSizeLimit&) = delete;
  bool ok() const { return ok_; }

 private:
  rlimit saved_{};
  struct sigaction savedAction_ {};
  bool ok_ = false;
};

off_t FileSize(const std::string& path) {
  struct stat info {};
  return stat(path.c_str(), &info) == 0 ? info.st_size : 0;
}

class StoreFailureTest : public StressTest {
 protected:
  void SetUp() override {
    StressTest::SetUp();
    ASSERT_EQ(S_OK, store_.As(&import_));
    ASSERT_EQ(S_OK, store_->CreateFolder(FOLDERID_ROOT, "Kept", 0, &kept_));
    ASSERT_EQ(S_OK, store_->CreateFolder(FOLDERID_ROOT, "Spare", 0, &spare_));
    inbox_ = FindFolder(store_.Get(), FOLDERID_ROOT, "Inbox");
    ASSERT_EQ(S_OK, store_->OpenFolder(kept_, 0, keptFolder_.Put()));
    ASSERT_EQ(S_OK, store_->OpenFolder(inbox_, 0, inboxFolder_.Put()));
    std::mt19937_64 random(7);
    for (int i = 0; i < 5; ++i) {
      MESSAGEID id = 0;
      ASSERT_EQ(S_OK, CommitMessage(keptFolder_.Get(),
                                    MakeStressMessage("kept " + std::to_string(i), 2000, random),
                                    &id));
      kept_messages_.push_back(id);
    }
    ASSERT_EQ(S_OK, Import(0, kept_, MakeStressMessage("large", 1500000, random), &large_));
  }
  void TearDown() override {
    keptFolder_ = nullptr;
    inboxFolder_ = nullptr;
    import_ = nullptr;
    StressTest::TearDown();
  }

  HRESULT Import(HBATCHLOCK batch, STOREFOLDERID folder, const std::string& text,
                 MESSAGEID* id = nullptr) {
    MESSAGEID ignored = 0;
    return import_->ImportMessage(batch, folder, reinterpret_cast<const BYTE*>(text.data()),
                                  static_cast<ULONG>(text.size()), nullptr, 0, id ? id : &ignored);
  }

  // The names in the store's folder.
  std::set<std::string> StoreFiles() {
    std::set<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(root_->path() + "/store")) {
      names.insert(entry.path().filename().string());
    }
    return names;
  }

  // A limit just above the store's files: any change that adds a megabyte
  // or more cannot fit.
  rlim_t JustAboveTheFiles() {
    const std::string file = StoreFilePath();
    return static_cast<rlim_t>(std::max(FileSize(file), FileSize(file + "-wal")) + 65536);
  }

  // What another process would see: the store through a connection of its own.
  std::string DumpThroughAnotherConnection() {
    ComPtr<IStoreNamespace> other;
    HRESULT hr = OpenStore(&other);
    return FAILED(hr) ? "cannot open: " + std::to_string(hr) : DumpStore(other.Get());
  }

  ComPtr<IStoreImport> import_;
  STOREFOLDERID inbox_ = 0;
  STOREFOLDERID kept_ = 0;
  STOREFOLDERID spare_ = 0;
  ComPtr<IStoreFolder> keptFolder_;
  ComPtr<IStoreFolder> inboxFolder_;
  std::vector<MESSAGEID> kept_messages_;
  MESSAGEID large_ = 0;
};

struct MessageIds {
  explicit MessageIds(std::vector<MESSAGEID> list) : ids(std::move(list)) {
    value.cbSize = CB_MESSAGEIDLIST;
    value.cMsgs = static_cast<ULONG>(ids.size());
    value.prgdwMsgId = ids.data();
  }
  std::vector<MESSAGEID> ids;
  MESSAGEIDLIST value;
};

TEST_F(StoreFailureTest, AFullDiskFailsEveryChangeAndDamagesNothing) {
  std::mt19937_64 random(11);
  const std::string twoMegabytes = MakeStressMessage("too large", 2000000, random);
  const std::string small = MakeStressMessage("small", 1000, random);
  // `prepare` runs without a limit; `change` runs under it and gives the
  // status the caller would see. Limit 0 refuses every write; the other
  // limit leaves room for small writes but not for the change.
  struct Case {
    const char* name;
    bool noWritesAtAll;
    std::function<void()> prepare;
    std::function<HRESULT()> change;
  };
  ComPtr<IStream> stream;
  MESSAGEID reserved = 0;
  const Case cases[] = {
      {"CommitStream of a large message", false,
       [&] {
         ASSERT_EQ(S_OK, keptFolder_->CreateStream(0, 0, stream.Put(), &reserved));
         ULONG written = 0;
         ASSERT_EQ(S_OK, stream->Write(twoMegabytes.data(),
                                       static_cast<ULONG>(twoMegabytes.size()), &written));
       },
       [&] { return keptFolder_->CommitStream(0, 0, 0, stream.Get(), reserved, nullptr); }},
      {"ImportMessage of a large message", false, [] {},
       [&] { return Import(0, kept_, twoMegabytes); }},
      {"a batch of large imports", false, [] {},
       [&] {
         HBATCHLOCK batch = 0;
         HRESULT hr = import_->BeginBatch(&batch);
         if (FAILED(hr)) return hr;
         HRESULT first = S_OK;
         for (int i = 0; i < 3; ++i) {
           hr = Import(batch, i % 2 ? kept_ : inbox_,
                       MakeStressMessage("batch " + std::to_string(i), 800000, random));
           if (SUCCEEDED(first)) first = hr;
         }
         hr = import_->CommitBatch(batch);
         // A batch with a failed change may not commit what remains of it.
         EXPECT_TRUE(SUCCEEDED(first) || FAILED(hr)) << "CommitBatch " << std::hex << hr;
         return FAILED(first) ? first : hr;
       }},
      {"copying a large message", false, [] {},
       [&] {
         MessageIds list({large_});
         return store_->CopyMoveMessages(keptFolder_.Get(), inboxFolder_.Get(), &list.value, 0,
                                         0, nullptr);
       }},
      {"CreateFolder", true, [] {},
       [&] { return store_->CreateFolder(kept_, "New", 0, nullptr); }},
      {"RenameFolder", true, [] {}, [&] { return store_->RenameFolder(spare_, 0, "Renamed"); }},
      {"DeleteFolder", true, [] {}, [&] { return store_->DeleteFolder(spare_, 0); }},
      {"CreateStream", true, [] {},
       [&] {
         ComPtr<IStream> more;
         MESSAGEID id = 0;
         return keptFolder_->CreateStream(0, 0, more.Put(), &id);
       }},
      {"ImportMessage of a small message", true, [] {}, [&] { return Import(0, inbox_, small); }},
      {"MarkMessagesAsRead", true, [] {},
       [&] {
         MessageIds list({kept_messages_[0], kept_messages_[1]});
         return keptFolder_->MarkMessagesAsRead(TRUE, 0, &list.value);
       }},
      {"moving messages", true, [] {},
       [&] {
         MessageIds list({kept_messages_[2], large_});
         return store_->CopyMoveMessages(keptFolder_.Get(), inboxFolder_.Get(), &list.value,
                                         CMF_MOVE, 0, nullptr);
       }},
      {"DeleteMessages", true, [] {},
       [&] {
         MessageIds list({kept_messages_[3]});
         return keptFolder_->DeleteMessages(&list.value, 0, nullptr);
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    c.prepare();
    const std::string before = DumpStore(store_.Get());
    HRESULT hr;
    {
      FileSizeLimit limit(c.noWritesAtAll ? 0 : JustAboveTheFiles());
      ASSERT_TRUE(limit.ok());
      hr = c.change();
    }
    EXPECT_TRUE(FAILED(hr)) << std::hex << hr;
    std::printf("%s with %s: %08x\n", c.name, c.noWritesAtAll ? "no writes" : "no room",
                static_cast<unsigned>(hr));
    EXPECT_EQ(before, DumpStore(store_.Get()));
    EXPECT_EQ(before, DumpThroughAnotherConnection());
    EXPECT_EQ("ok", IntegrityCheck(StoreFilePath()));
    // With room again, the same connection goes on working.
    MESSAGEID id = 0;
    EXPECT_EQ(S_OK, CommitMessage(keptFolder_.Get(), small, &id));
  }
}

// Permissions of the root, the store folder and its files, set for the
// object's lifetime so that a process without root's privileges can read
// the store but (with `readOnly`) not write it.
class StorePermissions {
 public:
  StorePermissions(const std::string& root, bool folderReadOnly) : root_(root) {
    const std::string folder = root + "/store";
    // The worker may run as another user: it must reach the root and the
    // registry (it loads the libraries before it changes user).
    chmod(root.c_str(), 0755);
    chmod((root + "/registry.reg").c_str(), 0644);
    for (const char* suffix : {"", "-wal", "-shm"}) {
      chmod((folder + "/store.db" + suffix).c_str(), 0444);
    }
    chmod(folder.c_str(), folderReadOnly ? 0555 : 0777);
  }
  ~StorePermissions() {
    const std::string folder = root_ + "/store";
    chmod(folder.c_str(), 0700);
    for (const char* suffix : {"", "-wal", "-shm"}) {
      chmod((folder + "/store.db" + suffix).c_str(), 0600);
    }
  }
  StorePermissions(const StorePermissions&) = delete;
  StorePermissions& operator=(const StorePermissions&) = delete;

 private:
  std::string root_;
};

TEST_F(StoreFailureTest, AReadOnlyStoreOpensForReadingRefusesEveryChangeAndDamagesNothing) {
  const std::string expectedDigest = [&] {
    std::string text;
    EXPECT_EQ(S_OK, ReadMessageText(keptFolder_.Get(), kept_messages_[0], &text));
    return DigestHex(import_.Get(), text);
  }();
  struct Case {
    const char* name;
    bool folderReadOnly;
    bool storeOpenHere;  // this process keeps a connection open meanwhile
  };
  const Case cases[] = {
      {"read-only files in a writable folder, store open elsewhere", false, true},
      {"read-only files and folder, store open elsewhere", true, true},
      {"read-only files in a writable folder, store closed", false, false},
      {"read-only files and folder, store closed", true, false},
  };
  const std::string before = DumpStore(store_.Get());
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ComPtr<IStoreNamespace> held;
    if (c.storeOpenHere) {
      ASSERT_EQ(S_OK, OpenStore(&held));
      ASSERT_EQ(before, DumpStore(held.Get()));
    }
    keptFolder_ = nullptr;
    inboxFolder_ = nullptr;
    import_ = nullptr;
    store_ = nullptr;

    std::map<std::string, std::vector<std::string>> results;
    std::vector<std::string> lines;
    const std::set<std::string> filesBefore = StoreFiles();
    {
      StorePermissions permissions(root_->path(), c.folderReadOnly);
      Worker worker({"readonly", std::to_string(kept_), std::to_string(kept_messages_[0])});
      ASSERT_TRUE(worker.running());
      const int status = worker.Wait();
      ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
      lines = worker.lines();
      for (const std::string& line : lines) {
        std::istringstream in(line);
        std::string call;
        in >> call;
        results[call];
        for (std::string word; in >> word;) results[call].push_back(word);
      }
    }
    ASSERT_EQ(1u, results.count("end")) << ::testing::PrintToString(lines);
    ASSERT_EQ(1u, results.count("uid"));
    EXPECT_NE("0", results["uid"][0]);

    const std::string initialize = results["Initialize"].at(0);
    if (!c.storeOpenHere) {
      // A cleanly closed store is read where it lies, and nothing is
      // written beside it (no log, no index).
      EXPECT_EQ("00000000", initialize);
      EXPECT_EQ(filesBefore, StoreFiles());
    }
    if (initialize == "00000000") {
      // Opened for reading: what is stored reads back, every change fails.
      EXPECT_EQ((std::vector<std::string>{"00000000", "7"}), results["ListFolders"]);
      EXPECT_EQ((std::vector<std::string>{"00000000", expectedDigest}), results["OpenMessage"]);
      for (const char* change : {"CreateFolder", "RenameFolder", "CreateStream", "ImportMessage",
                                 "Batch", "MarkMessagesAsRead", "Copy", "Move", "DeleteMessages",
                                 "DeleteFolder"}) {
        ASSERT_EQ(1u, results.count(change)) << change;
        EXPECT_EQ('8', results[change][0][0]) << change << " " << results[change][0];
      }
      // A batch that began fails at its commit, with the change made in it.
      if (results.count("ImportMessage-in-batch")) {
        EXPECT_EQ('8', results["ImportMessage-in-batch"][0][0]);
        EXPECT_EQ(results["ImportMessage-in-batch"], results["Batch"]);
      }
    } else {
      EXPECT_EQ('8', initialize[0]) << initialize;
    }
    std::printf("%s: Initialize %s, CreateFolder %s\n", c.name, initialize.c_str(),
                results.count("CreateFolder") ? results["CreateFolder"][0].c_str() : "-");

    held = nullptr;
    ASSERT_EQ(S_OK, OpenStore(&store_));
    EXPECT_EQ(before, DumpStore(store_.Get()));
    EXPECT_EQ("ok", IntegrityCheck(StoreFilePath()));
  }
}

TEST_F(StoreFailureTest, AReadOnlyStoreOfTheFirstLayoutIsReadAsItIsNotUpgraded) {
  keptFolder_ = nullptr;
  inboxFolder_ = nullptr;
  import_ = nullptr;
  store_ = nullptr;
  const std::string file = StoreFilePath();
  for (const char* suffix : {"", "-wal", "-shm"}) std::remove((file + suffix).c_str());
  auto bytes = [](const std::string& path) {
    std::ostringstream out;
    out << std::ifstream(path, std::ios::binary).rdbuf();
    return out.str();
  };
  std::ofstream(file, std::ios::binary) << bytes(vorn_test::SourceDir() +
                                                 "/tests/data/store/version1.db");
  const std::string before = bytes(file);

  std::map<std::string, std::vector<std::string>> results;
  {
    StorePermissions permissions(root_->path(), true);
    // Projects/Archiv and its message.
    Worker worker({"readonly", "8", "4"});
    ASSERT_TRUE(worker.running());
    const int status = worker.Wait();
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
    for (const std::string& line : worker.lines()) {
      std::istringstream in(line);
      std::string call;
      in >> call;
      for (std::string word; in >> word;) results[call].push_back(word);
    }
  }
  ASSERT_EQ((std::vector<std::string>{"00000000"}), results["Initialize"]);
  // Every top-level folder, the clashing "NOTES" beside "Notes" included.
  EXPECT_EQ((std::vector<std::string>{"00000000", "9"}), results["ListFolders"]);
  EXPECT_EQ("00000000", results["OpenMessage"].at(0));
  EXPECT_EQ('8', results["CreateFolder"].at(0)[0]);
  EXPECT_EQ('8', results["RenameFolder"].at(0)[0]);
  EXPECT_EQ(before, bytes(file));
  EXPECT_EQ((std::set<std::string>{"store.db"}), StoreFiles());
}

}  // namespace
}  // namespace store_stress
