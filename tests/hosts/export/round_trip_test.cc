// Round trips through the real store server: the store is exported, the
// files are imported into a fresh root, and that root is exported again.
// What each format can hold must come back, and the second export must give
// the very files of the first. Also: an export interrupted at every message
// and run again, files left short, and destinations that cannot be written.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "hosts/common/folder_file_name.h"
#include "hosts/common/store_folders.h"
#include "hosts/export/exporter.h"
#include "hosts/import/importer.h"
#include "tests/hosts/import/import_fixture.h"
#include "tests/hosts/import/sample_mail.h"

namespace import_test {
namespace {

using ::testing::HasSubstr;

// One message as a format can keep it: bytes, received time, read flag.
using Kept = std::tuple<std::string, uint64_t, bool>;
// Folder path -> its messages, sorted.
using StoreContent = std::map<std::string, std::vector<Kept>>;

std::vector<std::string> List(const std::string& dir) {
  std::vector<std::string> names;
  DIR* d = opendir(dir.c_str());
  if (!d) return names;
  while (dirent* entry = readdir(d)) {
    std::string name = entry->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  closedir(d);
  std::sort(names.begin(), names.end());
  return names;
}

bool IsDir(const std::string& path) {
  struct stat info {};
  return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// Every file and folder below `dir`: relative path -> bytes ("/" for a folder).
void ReadTree(const std::string& dir, const std::string& prefix,
              std::map<std::string, std::string>* tree) {
  for (const std::string& name : List(dir)) {
    std::string path = dir + "/" + name;
    if (IsDir(path)) {
      (*tree)[prefix + name] = "/";
      ReadTree(path, prefix + name + "/", tree);
    } else {
      (*tree)[prefix + name] = ReadFile(path);
    }
  }
}

std::map<std::string, std::string> Tree(const std::string& dir) {
  std::map<std::string, std::string> tree;
  ReadTree(dir, "", &tree);
  return tree;
}

class ExportTest : public ImporterTest {
 protected:
  RunResult Export(const std::vector<std::string>& args,
                   const volatile std::sig_atomic_t* stop = nullptr) {
    RunResult result;
    FILE* out = std::tmpfile();
    FILE* err = std::tmpfile();
    CloseStore();
    result.status = vorn_export::RunExport(args, out, err, stop);
    for (auto [file, text] : {std::pair{out, &result.out}, std::pair{err, &result.err}}) {
      std::rewind(file);
      char buffer[4096];
      size_t n;
      while ((n = std::fread(buffer, 1, sizeof(buffer), file)) > 0) text->append(buffer, n);
      std::fclose(file);
    }
    return result;
  }

  // A fresh, empty root in place of the current one.
  void NewRoot() {
    CloseStore();
    root_.reset();
    root_ = std::make_unique<vorn_test::TempRoot>();
    RegisterServices();
  }

  STOREFOLDERID EnsureFolder(STOREFOLDERID parent, const std::string& name) {
    STOREFOLDERID found = FOLDERID_INVALID;
    EXPECT_EQ(S_OK, vorn_host::FindSubFolder(store(), parent, &name, &found));
    if (found == FOLDERID_INVALID) {
      EXPECT_EQ(S_OK, store()->CreateFolder(parent, name.c_str(), 0, &found)) << name;
    }
    return found;
  }

  void ImportInto(STOREFOLDERID folder, const std::vector<std::string>& sources) {
    FILE* report = std::tmpfile();
    vorn_import::ImportSettings settings;
    vorn_import::Importer importer(store(), store_import(), report, settings);
    importer.Import(sources, folder);
    const vorn_import::ImportCounts& counts = importer.counts();
    EXPECT_EQ(0u, counts.failed + counts.badSources + counts.duplicates) << sources[0];
    std::fclose(report);
  }

  // Imports a tree an export wrote, each file or folder into the store
  // folder its name stands for.
  void ImportTree(const std::string& format, const std::string& dir,
                  STOREFOLDERID parent = FOLDERID_ROOT) {
    for (const std::string& name : List(dir)) {
      std::string path = dir + "/" + name;
      bool isDir = IsDir(path);
      if (format == "mbox" && !isDir) {
        ASSERT_EQ(".mbox", name.substr(name.size() - 5)) << path;
        STOREFOLDERID folder =
            EnsureFolder(parent, vorn_host::FolderNameFromFile(name.substr(0, name.size() - 5)));
        // An empty folder gives an empty file; the folder is made above,
        // and there is nothing to import.
        if (!ReadFile(path).empty()) ImportInto(folder, {path});
      } else if (isDir && !(format == "maildir" && (name == "cur" || name == "new" ||
                                                    name == "tmp"))) {
        STOREFOLDERID folder = EnsureFolder(parent, vorn_host::FolderNameFromFile(name));
        if (format == "mbox") {
          ImportTree(format, path, folder);
          continue;
        }
        std::vector<std::string> sources;
        if (format == "maildir") {
          if (!List(path + "/cur").empty()) sources.push_back(path);
        } else {
          for (const std::string& file : List(path)) {
            if (!IsDir(path + "/" + file)) sources.push_back(path + "/" + file);
          }
        }
        if (!sources.empty()) ImportInto(folder, sources);
        ImportTree(format, path, folder);
      } else {
        ASSERT_TRUE(format == (isDir ? "maildir" : "eml")) << "unexpected " << path;
      }
    }
  }

  // The store's folders and messages.
  void ReadStore(STOREFOLDERID parent, const std::string& prefix, StoreContent* content) {
    std::vector<FOLDERPROPS> folders;
    ASSERT_EQ(S_OK, vorn_host::ListSubFolders(store(), parent, &folders));
    for (const FOLDERPROPS& folder : folders) {
      std::string path = prefix + folder.szName;
      std::vector<Kept>& kept = (*content)[path];
      for (const StoredMessage& message : Messages(folder.dwFolderId)) {
        kept.emplace_back(message.raw, message.received, (message.flags & MSGFLAG_READ) != 0);
      }
      ReadStore(folder.dwFolderId, path + "/", content);
    }
  }

  // The store's folders and messages as `format` keeps them, each folder's
  // messages sorted.
  StoreContent Content(const std::string& format, StoreContent content = {}) {
    if (content.empty()) ReadStore(FOLDERID_ROOT, "", &content);
    for (auto& [path, messages] : content) {
      for (auto& [raw, received, read] : messages) {
        if (format == "mbox") {
          if (raw.empty() || raw.back() != '\n') raw += '\n';
          received -= received % 10000000;
        }
        if (format != "maildir") read = false;
      }
      std::sort(messages.begin(), messages.end());
    }
    return content;
  }

  // Exports the current root in each format, imports each export into a
  // fresh root and exports that again; checks what came back.
  void RoundTrip(size_t expectedMessages,
                 const std::vector<std::string>& formats = {"mbox", "maildir", "eml"}) {
    std::map<std::string, StoreContent> before;
    std::map<std::string, std::string> first;
    StoreContent original = Content("maildir");
    for (const std::string& format : formats) {
      before[format] = Content(format, original);
      first[format] = PathFor("first-" + format);
      RunResult result = Export({"--format", format, first[format]});
      EXPECT_EQ(0, result.status) << result.err;
      EXPECT_THAT(result.out, HasSubstr("vornexport: " + std::to_string(expectedMessages) +
                                        " written, 0 already there, 0 failed"));
    }
    for (const std::string& format : formats) {
      SCOPED_TRACE(format);
      NewRoot();
      ImportTree(format, first[format]);
      EXPECT_EQ(before[format], Content(format));
      std::string second = PathFor("second-" + format);
      RunResult result = Export({"--format", format, second});
      EXPECT_EQ(0, result.status) << result.err;
      EXPECT_TRUE(Tree(first[format]) == Tree(second))
          << "exporting the re-imported root gives other files";
    }
  }

  void FillTree(int count);

  // Puts `raw` into `folder` as the store's own message would be.
  void Put(STOREFOLDERID folder, const std::string& raw, uint64_t received, bool read) {
    FILETIME time{static_cast<DWORD>(received), static_cast<DWORD>(received >> 32)};
    ASSERT_EQ(S_OK, store_import()->ImportMessage(0, folder,
                                                  reinterpret_cast<const BYTE*>(raw.data()),
                                                  static_cast<ULONG>(raw.size()), &time,
                                                  read ? MSGFLAG_READ : 0, nullptr));
  }
};

TEST_F(ExportTest, TheSampleMailComesBackWhole) {
  std::string samples = vorn_test::SourceDir() + "/examples/mail";
  ASSERT_EQ(0, Import({samples + "/Inbox"}).status);
  ASSERT_EQ(0, Import({"--folder", "Archive/2025", samples + "/archive.mbox"}).status);
  size_t count = CountAll();
  ASSERT_GT(count, 5u);
  RoundTrip(count);
}

// Many messages in a nested tree with names a file system needs escaped:
// generated mail (CRLF, From and >From lines, 8-bit and NUL bytes,
// multipart), binary parts, messages without a last line end, times to the
// tick (one before 1970), read and unread, and an empty folder.
void ExportTest::FillTree(int count) {
  const uint32_t seed = 39;
  std::printf("seed %u\n", seed);
  std::mt19937 random(seed);
  STOREFOLDERID archive = EnsureFolder(FOLDERID_ROOT, "Archive");
  STOREFOLDERID year = EnsureFolder(archive, "2025");
  STOREFOLDERID projects = EnsureFolder(FOLDERID_ROOT, "Projects");
  std::vector<STOREFOLDERID> folders = {
      Inbox(),
      archive,
      year,
      EnsureFolder(year, "Q1"),
      projects,
      EnsureFolder(projects, "a/b"),
      EnsureFolder(projects, "new"),
      EnsureFolder(projects, ".hidden"),
      EnsureFolder(projects, "notes.mbox"),
  };
  EnsureFolder(projects, "Empty");
  auto fill = [&] {
    HBATCHLOCK batch = 0;
    HRESULT hr = store_import()->BeginBatch(&batch);
    for (int i = 0; i < count && SUCCEEDED(hr); ++i) {
      std::string raw = GeneratedMessage(i);
      if (i % 50 == 7) raw.resize(raw.size() - (raw.back() == '\n' ? 1 : 0));
      if (i % 100 == 42) {
        raw = "From: b@example.org\nSubject: binary " + std::to_string(i) +
              "\nContent-Type: application/octet-stream\nContent-Transfer-Encoding: "
              "binary\n\n";
        for (int b = 0; b < 512; ++b) raw += static_cast<char>(random() & 0xff);
      }
      // Any tick within some thirty years.
      uint64_t received = Ticks(1995, 1, 1, 0, 0, 0) +
                          (uint64_t{random()} << 20 | random()) % (uint64_t{1000000000} * 10000000);
      if (i == 500) received = Ticks(1965, 5, 1, 12, 0, 0) + 4321;
      FILETIME time{static_cast<DWORD>(received), static_cast<DWORD>(received >> 32)};
      hr = store_import()->ImportMessage(batch, folders[random() % folders.size()],
                                         reinterpret_cast<const BYTE*>(raw.data()),
                                         static_cast<ULONG>(raw.size()), &time,
                                         random() % 2 ? MSGFLAG_READ : 0, nullptr);
    }
    return SUCCEEDED(hr) ? store_import()->CommitBatch(batch) : hr;
  };
  ASSERT_EQ(S_OK, fill());
  ASSERT_EQ(static_cast<size_t>(count), CountAll());
}

// mbox at full size: its quoting is where bytes could be lost. Maildir and
// .eml write a file per message, which costs more than it shows; the same
// tree at a tenth of the size exercises them.
TEST_F(ExportTest, TenThousandMessagesInANestedTreeComeBackWholeThroughMbox) {
  FillTree(10000);
  RoundTrip(10000, {"mbox"});
}

TEST_F(ExportTest, ANestedTreeComesBackWholeThroughMaildirAndEmlFiles) {
  FillTree(1000);
  RoundTrip(1000, {"maildir", "eml"});
}

TEST_F(ExportTest, AnExportInterruptedAtEveryMessageCompletesWithoutWritingOneTwice) {
  STOREFOLDERID sub = EnsureFolder(Inbox(), "Sub");
  EnsureFolder(FOLDERID_ROOT, "Nothing here");
  for (int i = 0; i < 12; ++i) {
    Put(i % 3 ? Inbox() : sub, GeneratedMessage(i), Ticks(2026, 1, 1 + i, 0, 0, 0) + i, i % 2);
  }
  for (const char* format : {"mbox", "maildir", "eml"}) {
    SCOPED_TRACE(format);
    std::string whole = PathFor(std::string("whole-") + format);
    ASSERT_EQ(0, Export({"--format", format, whole}).status);

    // Each run is told to stop at once, so it writes one message and stops.
    std::string pieces = PathFor(std::string("pieces-") + format);
    volatile std::sig_atomic_t stop = 1;
    int runs = 0;
    RunResult result;
    do {
      result = Export({"--format", format, pieces}, &stop);
      ASSERT_LE(++runs, 20) << result.err;
      if (result.status == 130) {
        EXPECT_THAT(result.out, HasSubstr("vornexport: 1 written"));
        EXPECT_THAT(result.err, HasSubstr("run the same command again"));
      }
      // A run killed while writing leaves a message half written after the
      // checkpoint; the next run must not keep it.
      std::string partial = pieces + "/Inbox.mbox.partial";
      if (runs == 3 && IsDir(pieces) && !ReadFile(partial).empty()) {
        std::ofstream(partial, std::ios::app) << "From MAILER-DAEMON Thu Jan  1 00:00:00 2026\nX";
      }
    } while (result.status == 130);
    EXPECT_EQ(0, result.status) << result.err;
    EXPECT_GE(runs, 12);
    EXPECT_TRUE(Tree(whole) == Tree(pieces)) << "the pieced export differs";

    RunResult again = Export({"--format", format, pieces});
    EXPECT_EQ(0, again.status);
    EXPECT_THAT(again.out, HasSubstr("0 written, 12 already there, 0 failed"));
    EXPECT_TRUE(Tree(whole) == Tree(pieces));
  }
}

// A message too large to be held in memory goes through the temporary file
// as it is read. A file a crash left short is not the message: the next run
// writes it again, and nothing temporary stays behind.
TEST_F(ExportTest, LargeMessagesAndFilesLeftShortAreWrittenWhole) {
  std::string large = "From: a@example.org\nSubject: large\n\n";
  while (large.size() < 3 * 1024 * 1024 / 2) large += "0123456789 abcdefghijklmnopqrstuvwxyz\n";
  const std::string small = GeneratedMessage(1);
  Put(Inbox(), large, Ticks(2026, 1, 1, 0, 0, 0), true);
  Put(Inbox(), small, Ticks(2026, 1, 2, 0, 0, 0), false);
  for (const char* format : {"maildir", "eml"}) {
    SCOPED_TRACE(format);
    std::string dest = PathFor(std::string("short-") + format);
    ASSERT_EQ(0, Export({"--format", format, dest}).status);
    std::string dir = dest + (std::string(format) == "maildir" ? "/Inbox/cur" : "/Inbox");
    std::vector<std::string> files = List(dir);
    ASSERT_EQ(2u, files.size());
    // Named by received time, the large message comes first.
    EXPECT_TRUE(ReadFile(dir + "/" + files[0]) == large);
    EXPECT_EQ(small, ReadFile(dir + "/" + files[1]));
    std::map<std::string, std::string> whole = Tree(dest);

    ASSERT_EQ(0, truncate((dir + "/" + files[0]).c_str(), 4096));
    ASSERT_EQ(0, truncate((dir + "/" + files[1]).c_str(), 0));
    RunResult result = Export({"--format", format, dest});
    EXPECT_EQ(0, result.status) << result.err;
    EXPECT_THAT(result.out, HasSubstr("2 written, 0 already there, 0 failed"));
    EXPECT_TRUE(Tree(dest) == whole) << "the short files were not written again";

    result = Export({"--format", format, dest});
    EXPECT_THAT(result.out, HasSubstr("0 written, 2 already there, 0 failed"));
    EXPECT_TRUE(Tree(dest) == whole) << "a run that wrote nothing left a file";
  }
}

TEST_F(ExportTest, WhatCannotBeWrittenIsReportedAndTheRestWritten) {
  Put(Inbox(), GeneratedMessage(1), Ticks(2026, 1, 1, 0, 0, 0), false);
  STOREFOLDERID drafts = EnsureFolder(FOLDERID_ROOT, "Drafts");
  Put(drafts, GeneratedMessage(2), Ticks(2026, 1, 2, 0, 0, 0), true);
  struct Case {
    const char* format;
    const char* blocker;  // made a folder (mbox) or a file (the others) first
  };
  for (const Case& c : {Case{"mbox", "Inbox.mbox"}, Case{"maildir", "Inbox"},
                        Case{"eml", "Inbox"}}) {
    SCOPED_TRACE(c.format);
    std::string dest = PathFor(std::string("blocked-") + c.format);
    mkdir(dest.c_str(), 0700);
    std::string blocker = dest + "/" + c.blocker;
    if (std::string(c.format) == "mbox") {
      mkdir(blocker.c_str(), 0700);
    } else {
      WriteFile(blocker, "in the way");
    }
    RunResult result = Export({"--format", c.format, dest});
    EXPECT_EQ(1, result.status);
    EXPECT_THAT(result.err, HasSubstr("\"Inbox\": not written"));
    EXPECT_THAT(result.out, HasSubstr("1 written, 0 already there, 0 failed, 1 folder not complete"));
  }
}

TEST_F(ExportTest, CommandLineMistakesChangeNothing) {
  Put(Inbox(), GeneratedMessage(1), Ticks(2026, 1, 1, 0, 0, 0), false);
  std::string dest = PathFor("dest");
  struct Case {
    std::vector<std::string> args;
    const char* error;
  };
  const Case cases[] = {
      {{dest}, "--format is needed"},
      {{"--format", "mh", dest}, "--format takes mbox, maildir or eml, not \"mh\""},
      {{"--format", "mbox"}, "no destination given"},
      {{"--format", "mbox", dest, dest}, "one destination only"},
      {{"--format", "mbox", "--folder", "No/Such", dest}, "the store has no folder \"No\""},
      {{"--format", "mbox", "--folder", "/", dest}, "names no folder"},
      {{"--format", "mbox", "--bogus", dest}, "unknown option \"--bogus\""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.error);
    RunResult result = Export(c.args);
    EXPECT_EQ(2, result.status);
    EXPECT_THAT(result.err, HasSubstr(c.error));
    EXPECT_FALSE(IsDir(dest)) << "a failed command wrote its destination";
  }
  // One folder, with and without its subfolders.
  EnsureFolder(Inbox(), "Sub");
  Put(FindFolder("Inbox/Sub"), GeneratedMessage(2), Ticks(2026, 1, 2, 0, 0, 0), false);
  ASSERT_EQ(0, Export({"--format", "mbox", "--folder", "inbox", dest}).status);
  EXPECT_EQ(std::vector<std::string>{"Inbox.mbox"}, List(dest));
  ASSERT_EQ(0, Export({"--format", "mbox", "--folder", "Inbox", "--recursive", dest}).status);
  EXPECT_EQ((std::vector<std::string>{"Inbox", "Inbox.mbox"}), List(dest));
  EXPECT_EQ(std::vector<std::string>{"Sub.mbox"}, List(dest + "/Inbox"));
}

}  // namespace
}  // namespace import_test
