// The IMAP store server at scale, against a Dovecot started here on
// 127.0.0.1 (mail_fsync as given; "never" by default, so that the import
// rate is this side's and not the server disk's: "optimized", Dovecot's
// own default, syncs each stored message file):
//  - a mailbox of N messages (100,000 by default) written straight into the
//    account's Maildir, then indexed by Dovecot on the first SELECT;
//  - the listing through CMailStore (SetFolder, then subject, sender and
//    sent time of each): the first one, on an empty local cache (goal: under
//    5 s), and unchanged ones afterwards, against the same listing of the
//    same messages from vornstore.so (goal: within 2 times), with the peak
//    memory of each listing process (goal: within 1.5 times);
//  - vornimport of a Maildir of M messages (10,000 by default) into the IMAP
//    account, in messages per second (goal: 2,000).
// The messages are the store benchmark's generated mail, seeded with 42.
// Each listing runs in a process of its own; times are wall time (the
// server does much of the work) with the listing process's processor time
// beside them. Goals are printed, not asserted.
//
//   bench_imap_scale [N] [M] [--fsync never|optimized|always]

#include <sys/resource.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "bench/bench_support.h"
#include "bench/listing_support.h"
#include "platform/runtime.h"
#include "services/imap/imap_client.h"
#include "store/mailstore.h"
#include "tests/services/store/stress_support.h"
#include "tests/support/dovecot_server.h"
#include "tests/support/temp_root.h"

namespace {

constexpr uint64_t kSeed = 42;
constexpr int kRepeats = 3;    // unchanged listings per process
constexpr int kProcesses = 2;  // processes per kind of unchanged listing

using vorn_bench::Stopwatch;
using vorn_bench::Times;

double Megabytes(const char* field) {
  return static_cast<double>(vorn_bench::StatusKb(field)) / 1024.0;
}

// ---- one listing process ------------------------------------------------------

// Lists the Inbox of the current root's store through CMailStore, `repeats`
// times, and prints "list CPU WALL RSS-BEFORE PEAK FIRST-WALL SUM": the best
// processor and wall time, the resident set before the first SetFolder, its
// high-water mark, the wall time of the first run, the best wall time of
// SetFolder alone, and an order-free sum of
// what was read, so that two stores can be shown to list the same texts.
int List(int count, int repeats) {
  if (FAILED(CoInitialize(nullptr))) return 1;
  CMailStore mail;
  if (!mail.OpenSession() || !mail.RebuildFolderList()) {
    std::fprintf(stderr, "the store did not open\n");
    return 1;
  }
  int32_t inbox = -1;
  for (int32_t i = 0; i < mail.GetFolderCount(); ++i) {
    if (mail.GetFolderType(i) == 1) inbox = mail.GetFolderId(i);
  }
  const double before = Megabytes("VmRSS");
  Times best{1e9, 1e9};
  double first = 0;
  double setFolder = 1e9;
  uint64_t sum = 0;
  for (int r = 0; r < repeats; ++r) {
    Stopwatch watch;
    if (mail.SetFolder(inbox) != 1) return 1;
    setFolder = std::min(setFolder, watch.Elapsed().wall);
    const int32_t n = mail.GetMessageCount();
    if (n != count) {
      std::fprintf(stderr, "listed %d of %d\n", n, count);
      return 1;
    }
    sum = 0;
    for (int32_t i = 0; i < n; ++i) {
      std::string row = mail.GetMessageSubject(i);
      row += '\n';
      row += mail.GetMessageDisplayFrom(i);
      row += '\n';
      row += mail.GetMessageSentTime(i);
      sum += vorn_bench::Hash(vorn_bench::kHashStart, row);
    }
    const Times t = watch.Elapsed();
    if (r == 0) first = t.wall;
    best.cpu = std::min(best.cpu, t.cpu);
    best.wall = std::min(best.wall, t.wall);
  }
  const double peak = Megabytes("VmHWM");
  mail.CloseSession();
  CoUninitialize();
  // The sum goes out in 16-bit pieces, which a double holds exactly.
  std::printf("list %.4f %.4f %.1f %.1f %.4f %.4f %llu %llu %llu %llu\n", best.cpu, best.wall,
              before, peak, first, setFolder, static_cast<unsigned long long>(sum >> 48),
              static_cast<unsigned long long>((sum >> 32) & 0xFFFF),
              static_cast<unsigned long long>((sum >> 16) & 0xFFFF),
              static_cast<unsigned long long>(sum & 0xFFFF));
  return 0;
}

struct Listing {
  double cpu = 1e9, wall = 1e9, before = 0, peak = 0, first = 0, setFolder = 1e9;
  uint64_t sum = 0;
};

// Runs List in a new process (in the current root) and folds its figures
// into *into: best times, highest memory.
bool RunList(int count, int repeats, Listing* into) {
  std::vector<double> f;
  if (!vorn_bench::RunSelf({"--list", std::to_string(count), std::to_string(repeats)}, &f) ||
      f.size() < 10) {
    return false;
  }
  into->cpu = std::min(into->cpu, f[0]);
  into->wall = std::min(into->wall, f[1]);
  into->before = std::max(into->before, f[2]);
  into->peak = std::max(into->peak, f[3]);
  into->first = f[4];
  into->setFolder = std::min(into->setFolder, f[5]);
  into->sum = (static_cast<uint64_t>(f[6]) << 48) | (static_cast<uint64_t>(f[7]) << 32) |
              (static_cast<uint64_t>(f[8]) << 16) | static_cast<uint64_t>(f[9]);
  return true;
}

// ---- mail on disk -------------------------------------------------------------

// Writes messages [0, count) of the generated mail into `dir`/cur as
// Maildir files, unread. False when a file could not be written.
bool WriteMaildir(const std::string& dir, int count) {
  std::error_code error;
  for (const char* sub : {"/cur", "/new", "/tmp"}) {
    std::filesystem::create_directories(dir + sub, error);
    if (error) return false;
  }
  std::mt19937_64 random(kSeed);
  std::mt19937_64 names(kSeed + 1);  // apart, so the texts match the local store's
  for (int i = 0; i < count; ++i) {
    // Named as a delivery agent names them: time, microseconds, process,
    // host, and the size. (Names that differ only before a long common
    // ending all fall into a few buckets of Dovecot's file name table,
    // which then spends seconds comparing names on every open.)
    const std::string text = vorn_bench::MakeMail(i, random);
    const std::string name = dir + "/cur/" + std::to_string(1700000000 + i) + ".M" +
                             std::to_string(names() % 1000000) + "P" +
                             std::to_string(1000 + names() % 30000) + ".bench,S=" +
                             std::to_string(text.size()) + ",W=" + std::to_string(text.size()) +
                             ":2,";
    if (!vorn_bench::WriteFile(name, text)) return false;
  }
  return true;
}

vorn_imap::Account AccountOf(const vorn_test::DovecotServer& server, const std::string& user) {
  vorn_imap::Account account;
  account.server = "127.0.0.1";
  account.port = server.port();
  account.user = user;
  account.security = "none";
  account.password = vorn_test::kDovecotPassword;
  return account;
}

// A root with vornimap.so as the store and `user`'s account, in VORN_ROOT.
bool SetUpImapRoot(const vorn_test::DovecotServer& server, const std::string& user) {
  const std::filesystem::path bin = vorn_test::BinDir();
  HMODULE imap = vorn_bench::LoadAndRegister(bin / "vornimap.so");
  HMODULE mime = vorn_bench::LoadAndRegister(bin / "vornmime.so");
  if (!imap || !mime) return false;
  server.WriteAccount(user);
  return true;
}

double ChildCpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_CHILDREN, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) * 1e-6;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 4 && std::strcmp(argv[1], "--list") == 0) {
    return List(std::atoi(argv[2]), std::atoi(argv[3]));
  }
  std::vector<int> numbers;
  std::string fsync = "never";
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--fsync") == 0 && i + 1 < argc) {
      fsync = argv[++i];
    } else {
      numbers.push_back(std::atoi(argv[i]));
    }
  }
  const int count = numbers.size() > 0 ? numbers[0] : 100000;
  const int imports = numbers.size() > 1 ? numbers[1] : 10000;
  if (count <= 0 || imports <= 0 || numbers.size() > 2) {
    std::fprintf(stderr, "usage: bench_imap_scale [N] [M] [--fsync never|optimized|always]\n");
    return 1;
  }
  std::printf("IMAP store at scale: %d messages listed, %d imported; generated mail seeded "
              "with %llu; Dovecot with mail_fsync = %s\n",
              count, imports, static_cast<unsigned long long>(kSeed), fsync.c_str());
  std::fflush(stdout);

  vorn_test::DovecotServer::Options options;
  options.mailFsync = fsync;
  vorn_test::DovecotServer& server = vorn_test::DovecotServer::Shared(options);
  if (!server.ok()) {
    std::fprintf(stderr, "Dovecot did not start: %s\n", server.error().c_str());
    return 1;
  }

  // The mailbox, written behind the server's back and indexed by it.
  const std::string user = server.NewUser();
  Stopwatch written;
  if (!WriteMaildir(server.InboxDir(user), count) ||
      !server.GiveToServer(server.InboxDir(user))) {
    std::fprintf(stderr, "the Maildir could not be written\n");
    return 1;
  }
  const double writeSeconds = written.Elapsed().wall;
  Stopwatch indexed;
  {
    vorn_imap::ImapClient client;
    vorn_imap::MailboxStatus status;
    if (FAILED(client.Connect(AccountOf(server, user))) ||
        FAILED(client.Select("INBOX", &status)) || status.messages != static_cast<uint32_t>(count)) {
      std::fprintf(stderr, "Dovecot did not index the Maildir\n");
      return 1;
    }
  }
  const double indexSeconds = indexed.Elapsed().wall;
  std::printf("Maildir of %d messages written in %.1f s; Dovecot indexed it on the first "
              "SELECT in %.1f s\n", count, writeSeconds, indexSeconds);
  std::fflush(stdout);

  // Listing from the IMAP account: the first on an empty cache, then
  // unchanged ones, each in a process of its own.
  Listing first, unchanged;
  {
    vorn_test::TempRoot root;
    if (FAILED(CoInitialize(nullptr)) || !SetUpImapRoot(server, user) ||
        !RunList(count, 1, &first)) {
      std::fprintf(stderr, "the first IMAP listing failed\n");
      return 1;
    }
    for (int p = 0; p < kProcesses; ++p) {
      if (!RunList(count, kRepeats, &unchanged)) {
        std::fprintf(stderr, "an unchanged IMAP listing failed\n");
        return 1;
      }
    }
    CoUninitialize();
  }

  // The same messages in vornstore.so.
  Listing local;
  {
    vorn_test::TempRoot root;
    STOREFOLDERID inbox = 0;
    Times spent;
    if (FAILED(CoInitialize(nullptr)) || FAILED(store_stress::RegisterServers()) ||
        !vorn_bench::FillInbox(count, kSeed, &inbox, &spent)) {
      std::fprintf(stderr, "the local store could not be filled\n");
      return 1;
    }
    CoUninitialize();
    for (int p = 0; p < kProcesses; ++p) {
      if (!RunList(count, kRepeats, &local)) {
        std::fprintf(stderr, "the local listing failed\n");
        return 1;
      }
    }
  }

  std::printf("listing %d messages (SetFolder, then subject, sender and sent time of each):\n",
              count);
  std::printf("  IMAP, first (empty cache)  %.2f s wall, %.2f s processor (goal: under 5 s)\n",
              first.wall, first.cpu);
  std::printf("  IMAP, unchanged            %.3f s wall, %.3f s processor (best of %d)\n",
              unchanged.wall, unchanged.cpu, kRepeats * kProcesses);
  std::printf("    of which SetFolder %.3f s wall (NOOP and STATUS to the server, then the cache)\n",
              unchanged.setFolder);
  std::printf("  vornstore.so               %.3f s wall, %.3f s processor (best of %d); "
              "SetFolder %.3f s wall\n", local.wall, local.cpu, kRepeats * kProcesses,
              local.setFolder);
  std::printf("  unchanged IMAP / vornstore.so: %.2f wall, %.2f processor (goal: within 2)\n",
              unchanged.wall / local.wall, unchanged.cpu / local.cpu);
  std::printf("  the same texts listed from both: %s\n",
              first.sum == local.sum && unchanged.sum == local.sum ? "yes" : "NO");
  std::printf("peak memory (high-water mark of the listing process):\n");
  std::printf("  IMAP, first %.1f MB; IMAP, unchanged %.1f MB; vornstore.so %.1f MB\n",
              first.peak, unchanged.peak, local.peak);
  std::printf("  unchanged IMAP / vornstore.so: %.2f, first IMAP / vornstore.so: %.2f "
              "(goal: within 1.5)\n", unchanged.peak / local.peak, first.peak / local.peak);
  std::fflush(stdout);

  // vornimport of a Maildir into a second account of the same server.
  const std::string importer = server.NewUser();
  vorn_test::TempRoot root;
  const std::string source = root.path() + "/source";
  if (FAILED(CoInitialize(nullptr)) || !SetUpImapRoot(server, importer) ||
      !WriteMaildir(source, imports)) {
    std::fprintf(stderr, "the import could not be set up\n");
    return 1;
  }
  CoUninitialize();
  const std::string command =
      "'" + vorn_test::BinDir() + "/vornimport' '" + source + "' > /dev/null";
  const double cpuBefore = ChildCpuSeconds();
  Stopwatch imported;
  const int status = std::system(command.c_str());
  const double importSeconds = imported.Elapsed().wall;
  const double importCpu = ChildCpuSeconds() - cpuBefore;
  vorn_imap::ImapClient client;
  vorn_imap::MailboxStatus after;
  if (status != 0 || FAILED(client.Connect(AccountOf(server, importer))) ||
      FAILED(client.Status("INBOX", &after))) {
    std::fprintf(stderr, "vornimport failed (status %d)\n", status);
    return 1;
  }
  std::printf("vornimport of %d messages into IMAP: %.1f s wall (%.1f s processor in "
              "vornimport): %.0f messages/s (goal: 2000); the server holds %u\n",
              imports, importSeconds, importCpu, imports / importSeconds, after.messages);
  return after.messages == static_cast<uint32_t>(imports) ? 0 : 1;
}
