// What the listing benchmarks share: a generated store of N messages in the
// Inbox of the current root, the plain SQLite read of the three fields a
// listing shows, calls by DISPID through IDispatch, a stopwatch of processor
// and wall time, and running this program again for one listing in a process
// of its own.
#pragma once

#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "bench/bench_support.h"
#include "platform/automation.h"
#include "platform/store.h"
#include "platform/store_import.h"
#include "platform/systime.h"
#include "runtime/com_ptr.h"
#include "tests/services/store/stress_support.h"

namespace vorn_bench {

struct Times {
  double cpu = 0;
  double wall = 0;
};

// Processor time of the whole process and wall time since construction.
class Stopwatch {
 public:
  Stopwatch() : wall_(WallSeconds()), cpu_(ProcessCpuSeconds()) {}
  Times Elapsed() const { return {ProcessCpuSeconds() - cpu_, WallSeconds() - wall_}; }

 private:
  double wall_;
  double cpu_;
};

// A message time as the control shows it: "Y-M-D h:m:s" in UTC.
inline std::string TimeText(uint64_t ticks) {
  FILETIME time{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
  SYSTEMTIME s{};
  FileTimeToSystemTime(&time, &s);
  char text[64];
  std::snprintf(text, sizeof text, "%d-%d-%d %d:%d:%d", s.wYear, s.wMonth, s.wDay, s.wHour,
                s.wMinute, s.wSecond);
  return text;
}

// A message as mail looks: a sender with a display name, two recipients, a
// subject that is sometimes a reply, a date, a body of about 1.5 kB.
inline std::string MakeMail(int i, std::mt19937_64& random) {
  static const char* const kNames[] = {"Alice Martin", "Bob Lefèvre", "Chloé Durand",
                                       "David Moreau", "Emma Bernard", "François Petit"};
  static const char* const kTopics[] = {"Quarterly report", "Lunch on Friday",
                                        "Build failures on the main branch", "Invoice 2023-114",
                                        "Meeting notes", "Holiday plans"};
  const char* name = kNames[random() % 6];
  std::string subject = std::string(random() % 4 == 0 ? "Re: " : "") + kTopics[random() % 6] +
                        " #" + std::to_string(i);
  char date[64];
  std::snprintf(date, sizeof date, "Tue, %d Jan 2023 %02d:%02d:%02d +0100",
                static_cast<int>(1 + i % 28), static_cast<int>(i / 3600 % 24),
                static_cast<int>(i / 60 % 60), static_cast<int>(i % 60));
  std::string text = std::string("From: \"") + name + "\" <sender" + std::to_string(i % 97) +
                     "@example.org>\r\n"
                     "To: Reader One <one@example.org>, two@example.org\r\n"
                     "Subject: " + subject + "\r\n"
                     "Date: " + date + "\r\n"
                     "Message-ID: <" + std::to_string(i) + ".bench@example.org>\r\n"
                     "MIME-Version: 1.0\r\n"
                     "Content-Type: text/plain; charset=utf-8\r\n\r\n";
  const size_t size = 1000 + random() % 1000;
  while (text.size() < size) {
    text += "Lorem ipsum dolor sit amet, consectetur adipiscing elit, sed do eiusmod.\r\n";
  }
  return text;
}

// Fills the Inbox of the store in the current root (the store server must be
// registered there) with `count` messages made by MakeMail from a random
// generator seeded with `seed`, in batches of 1,000 through the import
// extension. *inbox receives the Inbox's identifier and *spent the time spent
// in the store (zero when the Inbox already held `count` messages and nothing
// was imported). False when the store could not be opened or a message not
// stored, or when the Inbox holds some other number of messages.
inline bool FillInbox(int count, uint64_t seed, STOREFOLDERID* inbox, Times* spent) {
  ComPtr<IStoreNamespace> store;
  ComPtr<IStoreImport> import;
  if (FAILED(store_stress::OpenStore(&store)) || FAILED(store.As(&import))) return false;
  *inbox = store_stress::FindFolder(store.Get(), FOLDERID_ROOT, "Inbox");
  *spent = Times{};
  std::vector<store_stress::FolderRow> folders;
  store_stress::ListFolders(store.Get(), FOLDERID_ROOT, &folders);
  if (!folders.empty() && folders[0].messages == static_cast<DWORD>(count)) return true;
  if (!folders.empty() && folders[0].messages != 0) return false;
  std::mt19937_64 random(seed);
  constexpr int kBatch = 1000;
  for (int first = 0; first < count; first += kBatch) {
    std::vector<std::string> texts;
    for (int i = first; i < std::min(count, first + kBatch); ++i) {
      texts.push_back(MakeMail(i, random));
    }
    Stopwatch watch;
    HBATCHLOCK batch = 0;
    if (FAILED(import->BeginBatch(&batch))) return false;
    for (const std::string& text : texts) {
      if (FAILED(import->ImportMessage(batch, *inbox, reinterpret_cast<const BYTE*>(text.data()),
                                       static_cast<ULONG>(text.size()), nullptr, 0, nullptr))) {
        return false;
      }
    }
    if (FAILED(import->CommitBatch(batch))) return false;
    const Times t = watch.Elapsed();
    spent->cpu += t.cpu;
    spent->wall += t.wall;
  }
  return true;
}

// Reads subject, sender and sent time (as text) of every message of `folder`
// with one plain SQLite query on the store's database `db`; *rows receives
// the number of messages read. The bytes of text read, or -1 when the query
// could not be prepared.
inline long ReadWithSqlite(sqlite3* db, STOREFOLDERID folder, int* rows) {
  sqlite3_stmt* stmt = nullptr;
  if (sqlite3_prepare_v2(db,
                         "SELECT subject, display_from, sent FROM messages WHERE folder = ?1 "
                         "ORDER BY id",
                         -1, &stmt, nullptr) != SQLITE_OK) {
    return -1;
  }
  sqlite3_bind_int64(stmt, 1, folder);
  long bytes = 0;
  *rows = 0;
  while (sqlite3_step(stmt) == SQLITE_ROW) {
    std::string subject(reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0)),
                        static_cast<size_t>(sqlite3_column_bytes(stmt, 0)));
    std::string from(reinterpret_cast<const char*>(sqlite3_column_text(stmt, 1)),
                     static_cast<size_t>(sqlite3_column_bytes(stmt, 1)));
    std::string sent = TimeText(static_cast<uint64_t>(sqlite3_column_int64(stmt, 2)));
    bytes += static_cast<long>(subject.size() + from.size() + sent.size());
    ++*rows;
  }
  sqlite3_finalize(stmt);
  return bytes;
}

// Calls member `id` of `object` as a method with long arguments (given first
// to last); the result in *result (caller clears it).
inline HRESULT CallById(IDispatch* object, DISPID id, std::vector<LONG> args, VARIANT* result) {
  std::vector<VARIANT> values(args.size());
  for (size_t i = 0; i < args.size(); ++i) {
    values[args.size() - 1 - i].vt = VT_I4;
    values[args.size() - 1 - i].lVal = args[i];
  }
  DISPPARAMS params{values.data(), nullptr, static_cast<UINT>(values.size()), 0};
  VariantInit(result);
  return object->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params, result,
                        nullptr, nullptr);
}

// The DISPID of member `name` (ASCII); DISPID_UNKNOWN when the object does
// not know it.
inline DISPID IdOf(IDispatch* object, const char* name) {
  std::u16string wide(name, name + std::strlen(name));
  LPOLESTR names[] = {wide.data()};
  DISPID id = DISPID_UNKNOWN;
  object->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id);
  return id;
}

// Runs this program again with `args`, which must make it print one line
// "name figure figure ...", and gives the figures in *figures. False when
// the run failed or printed something else.
inline bool RunSelf(const std::vector<std::string>& args, std::vector<double>* figures) {
  char self[4096] = {};
  const ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
  if (length <= 0) return false;
  std::string command = "'" + std::string(self, static_cast<size_t>(length)) + "'";
  for (const std::string& arg : args) command += " '" + arg + "'";
  FILE* pipe = popen(command.c_str(), "r");
  if (!pipe) return false;
  char line[1024] = {};
  const bool got = std::fgets(line, sizeof line, pipe) != nullptr;
  const int status = pclose(pipe);
  if (!got || !WIFEXITED(status) || WEXITSTATUS(status) != 0) return false;
  figures->clear();
  const char* at = std::strchr(line, ' ');
  while (at && *at) {
    char* end = nullptr;
    const double value = std::strtod(at, &end);
    if (end == at) break;
    figures->push_back(value);
    at = end;
  }
  return !figures->empty();
}

}  // namespace vorn_bench
