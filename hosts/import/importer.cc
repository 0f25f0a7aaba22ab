#include "hosts/import/importer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstring>
#include <new>
#include <string_view>

#include "hosts/common/store_folders.h"
#include "hosts/import/maildir.h"
#include "hosts/import/mbox_reader.h"
#include "hosts/import/sources.h"
#include "platform/runtime.h"
#include "runtime/com_ptr.h"
#include "runtime/output_check.h"

namespace vorn_import {
namespace {

constexpr size_t kDefaultBatchSize = 1000;
constexpr size_t kMaxBatchSize = 100000;
// After this many messages in a row that the store refused, it is taken to
// be the store, not the messages, that fails, and the import stops.
constexpr int kMaxFailuresInARow = 20;
// How many times a batch is tried while another process keeps the store busy
// (each try waits for the store's busy timeout, some seconds) before the
// store counts as failing.
constexpr int kMaxBusyWaits = 40;

constexpr const char* kUsage =
    "Usage: vornimport [--folder PATH] [--batch-size N] SOURCE...\n"
    "Imports existing mail into the mail store of the platform root\n"
    "($VORN_ROOT, else ${XDG_DATA_HOME:-~/.local/share}/vorn).\n"
    "\n"
    "A SOURCE is an mbox file (it starts with a \"From \" line), a Maildir folder\n"
    "(it holds cur/ or new/) or an .eml file holding one message. Messages are\n"
    "stored byte for byte; an mbox separator's date, or a Maildir file's time,\n"
    "becomes the received time, and Maildir's S flag marks a message read.\n"
    "\n"
    "  --folder PATH     import into this folder, a name path from the top such\n"
    "                    as Projects/2026; missing folders are created.\n"
    "                    Default: the Inbox.\n"
    "  --batch-size N    messages committed together (default 1000).\n"
    "  -h, --help        show this help.\n"
    "\n"
    "Messages the store already holds, in any folder, are skipped, so an import\n"
    "that was interrupted can simply be run again.\n"
    "\n"
    "Exit status: 0 when every message was stored or skipped, 1 when a message\n"
    "could not be stored, a source was refused or the output could not be\n"
    "written, 2 for a usage error or a store that cannot be opened, 130 when\n"
    "interrupted.\n";

std::string Quoted(const std::string& text) { return "\"" + text + "\""; }

uint64_t ModificationTicks(const struct stat& info) {
  return TicksFromUnixSeconds(info.st_mtim.tv_sec, static_cast<uint32_t>(info.st_mtim.tv_nsec));
}

// Reads the regular file at `path` whole into *bytes; with `followLinks`
// false, a symbolic link in its place is refused too (a Maildir entry
// replaced by one after it was listed). False with the reason in *error when
// it cannot be read, is not a regular file or is larger than a message can be.
bool ReadMessageFile(const std::string& path, bool followLinks, std::string* bytes,
                     std::string* error) {
  // Non-blocking, so that a FIFO put in a file's place cannot hold the open.
  int fd = open(path.c_str(),
                O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY | (followLinks ? 0 : O_NOFOLLOW));
  if (fd < 0) {
    *error = errno == ELOOP ? "it is a symbolic link" : std::strerror(errno);
    return false;
  }
  struct stat info {};
  bool ok = fstat(fd, &info) == 0;
  if (!ok) *error = std::strerror(errno);
  if (ok && !S_ISREG(info.st_mode)) {
    *error = "it is not a regular file";
    ok = false;
  }
  uint64_t size = ok ? static_cast<uint64_t>(info.st_size) : 0;
  if (ok && size > kMaxMessageBytes) {
    *error = "the message is too large (" + std::to_string(size) + " bytes)";
    ok = false;
  }
  size_t got = 0;
  if (ok) {
    bytes->resize(size);
    while (got < size) {
      ssize_t n = read(fd, bytes->data() + got, size - got);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) {
        *error = std::strerror(errno);
        ok = false;
      }
      if (n <= 0) break;
      got += static_cast<size_t>(n);
    }
    // A file that shrank since its size was taken is taken as it is now.
    bytes->resize(got);
  }
  close(fd);
  return ok;
}

bool ParseCount(const std::string& text, size_t* value) {
  if (text.empty() || text.size() > 9) return false;
  size_t result = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    result = result * 10 + static_cast<size_t>(c - '0');
  }
  *value = result;
  return true;
}

}  // namespace

struct Importer::Source {
  std::string path;
  SourceKind kind = SourceKind::kRefused;
  uint64_t bytes = 0;                 // its size, for progress
  uint64_t modified = 0;              // the file's modification time, FILETIME ticks
  std::vector<MaildirEntry> entries;  // of a Maildir
};

struct Importer::Position {
  const Source* source = nullptr;
  uint64_t line = 0;  // of an mbox message's separator
  uint64_t offset = 0;
  const MaildirEntry* entry = nullptr;
};

Importer::Importer(IStoreNamespace* store, IStoreImport* import, FILE* report,
                   ImportSettings settings)
    : store_(store),
      import_(import),
      report_(report),
      settings_(settings),
      bar_(report, settings.progress) {
  if (settings_.batchSize == 0) settings_.batchSize = 1;
}

Importer::~Importer() {
  // Whatever is still open was stored completely; keep it.
  try {
    EndBatch();
  } catch (...) {
  }
}

void Importer::Report(const std::string& line) {
  bar_.Clear();
  std::fprintf(report_, "vornimport: %s\n", line.c_str());
  std::fflush(report_);
}

std::string Importer::Describe(const Position& position) const {
  const std::string& path = position.source->path;
  if (position.entry) return path + "/" + position.entry->name;
  if (position.source->kind == SourceKind::kMbox) {
    return path + ":" + std::to_string(position.line) + " (byte " +
           std::to_string(position.offset) + ")";
  }
  return path;
}

void Importer::ShowProgress(uint64_t sourceBytesDone) {
  bar_.Update(bytesBefore_ + sourceBytesDone, messagesSeen_);
}

bool Importer::ShouldStop() {
  if (settings_.stop && *settings_.stop != 0) counts_.interrupted = true;
  return counts_.interrupted || counts_.stopped;
}

bool Importer::ResolveFolder(const std::string& path, STOREFOLDERID* folder, std::string* error) {
  *folder = FOLDERID_INVALID;
  std::vector<std::string> parts;
  if (!vorn_host::SplitFolderPath(path, &parts)) {
    *error = "the folder path " + Quoted(path) + " has an empty name in it";
    return false;
  }
  auto find = [&](STOREFOLDERID parent, const std::string* name, STOREFOLDERID* found) {
    return vorn_host::FindSubFolder(store_, parent, name, found);
  };

  STOREFOLDERID current = FOLDERID_ROOT;
  if (parts.empty()) {
    HRESULT hr = find(FOLDERID_ROOT, nullptr, &current);
    if (FAILED(hr) || current == FOLDERID_INVALID) {
      *error = "the store has no Inbox" + (FAILED(hr) ? ": " + StatusText(hr) : std::string());
      return false;
    }
    *folder = current;
    return true;
  }
  // The path is found and its missing folders made under one batch: a path
  // of which a part cannot be made leaves no other part behind, and the
  // batch holds the store's write lock from the first look on, so that
  // imports that name the same new path at once find or make one folder.
  HBATCHLOCK batch = 0;
  auto fail = [&](const std::string& why) {
    if (batch != 0) import_->AbortBatch(batch);
    *error = why;
    return false;
  };
  if (HRESULT hr = BeginBatch(&batch); FAILED(hr)) {
    batch = 0;
    return fail("cannot change the store: " + StatusText(hr));
  }
  std::string walked;
  for (const std::string& part : parts) {
    STOREFOLDERID next = FOLDERID_INVALID;
    HRESULT hr = find(current, &part, &next);
    if (FAILED(hr)) {
      return fail("cannot list the folders" +
                  (walked.empty() ? std::string() : " of " + Quoted(walked)) + ": " +
                  StatusText(hr));
    }
    if (next == FOLDERID_INVALID) {
      hr = store_->CreateFolder(current, part.c_str(), 0, &next);
      if (FAILED(hr)) {
        return fail("cannot create the folder " + Quoted(part) +
                    (walked.empty() ? std::string() : " in " + Quoted(walked)) + ": " +
                    (hr == E_INVALIDARG ? "not a valid folder name" : StatusText(hr)));
      }
    }
    walked += (walked.empty() ? "" : "/") + part;
    current = next;
  }
  HRESULT hr = import_->CommitBatch(batch);
  if (FAILED(hr)) {
    *error = "cannot create the folder " + Quoted(walked) + ": " + StatusText(hr);
    return false;
  }
  *folder = current;
  return true;
}

void Importer::Plan(const std::vector<std::string>& paths, std::vector<Source>* sources) {
  for (const std::string& path : paths) {
    Source source;
    source.path = path;
    std::string reason;
    source.kind = DetectSource(path, &reason);
    if (source.kind == SourceKind::kRefused) {
      Report(path + ": " + reason);
      ++counts_.badSources;
      continue;
    }
    if (source.kind == SourceKind::kMaildir) {
      std::vector<SkippedEntry> skipped;
      if (!ListMaildir(path, &source.entries, &skipped, &reason)) {
        Report(path + ": cannot be read: " + reason);
        ++counts_.badSources;
        continue;
      }
      for (const SkippedEntry& entry : skipped) {
        Report(path + "/" + entry.name + ": " + entry.why + "; left out");
      }
      for (const MaildirEntry& entry : source.entries) source.bytes += entry.size;
    } else {
      struct stat info {};
      if (stat(path.c_str(), &info) == 0) {
        source.bytes = static_cast<uint64_t>(info.st_size);
        source.modified = ModificationTicks(info);
      }
    }
    sources->push_back(std::move(source));
  }
}

void Importer::Import(const std::vector<std::string>& paths, STOREFOLDERID folder) {
  folder_ = folder;
  std::vector<Source> sources;
  Plan(paths, &sources);
  uint64_t total = 0;
  for (const Source& source : sources) total += source.bytes;
  bar_.Start(total);
  for (const Source& source : sources) {
    if (ShouldStop()) break;
    switch (source.kind) {
      case SourceKind::kMbox:
        ImportMbox(source);
        break;
      case SourceKind::kMaildir:
        ImportMaildir(source);
        break;
      case SourceKind::kMessageFile:
        ImportMessageFile(source);
        break;
      case SourceKind::kEmpty:
      case SourceKind::kRefused:
        break;
    }
    bytesBefore_ += source.bytes;
    ShowProgress(0);
  }
  EndBatch();
  bar_.Clear();
}

void Importer::ImportMbox(const Source& source) {
  MboxReader reader;
  std::string error;
  if (!reader.Open(source.path, &error)) {
    Report(source.path + ": cannot be read as an mbox file: " + error);
    ++counts_.badSources;
    return;
  }
  Position position;
  position.source = &source;
  MboxMessage message;
  for (;;) {
    MboxReader::Result result = reader.Next(&message);
    if (result == MboxReader::Result::kEnd) break;
    if (result == MboxReader::Result::kError) {
      Report(source.path + ": read error after byte " + std::to_string(reader.consumed()) + ": " +
             reader.error() + "; the rest of the file is left");
      ++counts_.badSources;
      break;
    }
    position.line = message.line;
    position.offset = message.offset;
    ++messagesSeen_;
    if (message.tooLarge) {
      Fail(position, "the message is too large (" + std::to_string(message.size) + " bytes)");
    } else {
      Offer(message.bytes, message.hasDate ? message.received : source.modified, 0, position);
    }
    ShowProgress(reader.consumed());
    if (ShouldStop()) break;
  }
  counts_.textFromLines += reader.textFromLines();
}

void Importer::ImportMaildir(const Source& source) {
  Position position;
  position.source = &source;
  uint64_t done = 0;
  for (const MaildirEntry& entry : source.entries) {
    position.entry = &entry;
    ++messagesSeen_;
    std::string error;
    if (!ReadMessageFile(entry.path, false, &fileBuffer_, &error)) {
      Fail(position, error);
    } else {
      Offer(fileBuffer_, entry.received, entry.seen ? MSGFLAG_READ : 0, position);
    }
    done += entry.size;
    ShowProgress(done);
    if (ShouldStop()) break;
  }
}

void Importer::ImportMessageFile(const Source& source) {
  Position position;
  position.source = &source;
  ++messagesSeen_;
  std::string error;
  if (!ReadMessageFile(source.path, true, &fileBuffer_, &error)) {
    Fail(position, error);
    return;
  }
  Offer(fileBuffer_, source.modified, 0, position);
}

void Importer::Fail(const Position& position, const std::string& why) {
  ++counts_.failed;
  Report(Describe(position) + ": not stored: " + why);
}

void Importer::StoreFailed(const Position& position, const std::string& what, HRESULT status) {
  Fail(position, what + ": " + StatusText(status));
  if (++failuresInARow_ >= kMaxFailuresInARow) {
    Report("the store refused " + std::to_string(failuresInARow_) + " messages in a row; stopping");
    counts_.stopped = true;
  }
}

void Importer::Offer(std::string_view bytes, uint64_t received, DWORD flags,
                     const Position& position) {
  if (const char* why = CheckMessageStart(bytes)) {
    Fail(position, why);
    return;
  }
  const BYTE* data = reinterpret_cast<const BYTE*>(bytes.data());
  ULONG size = static_cast<ULONG>(bytes.size());
  BYTE digest[CB_MESSAGE_DIGEST];
  HRESULT hr = import_->GetMessageDigest(data, size, digest, CB_MESSAGE_DIGEST);
  if (FAILED(hr)) {
    StoreFailed(position, "the store cannot tell whether it holds it", hr);
    return;
  }
  // The check and the store are one step: the batch holds the store's write
  // lock from before the check, so that another import of the same message
  // cannot store it in between.
  if (batch_ == 0 && FAILED(hr = BeginBatch(&batch_))) {
    batch_ = 0;
    StoreFailed(position, "the store cannot begin a batch", hr);
    return;
  }
  STOREFOLDERID holder = FOLDERID_INVALID;
  MESSAGEID held = MESSAGEID_INVALID;
  hr = import_->FindMessageByDigest(digest, CB_MESSAGE_DIGEST, &holder, &held);
  if (FAILED(hr)) {
    StoreFailed(position, "the store cannot tell whether it holds it", hr);
    EndBatch();
    return;
  }
  if (hr == S_OK) {
    ++counts_.duplicates;
    // Other imports wait for the lock meanwhile: a batch ends after as many
    // messages offered, stored or not, as it may store.
    if (++batchChecked_ >= settings_.batchSize) EndBatch();
    return;
  }
  FILETIME time{static_cast<DWORD>(received), static_cast<DWORD>(received >> 32)};
  hr = import_->ImportMessage(batch_, folder_, data, size, &time, flags, nullptr);
  if (FAILED(hr)) {
    StoreFailed(position, "the store refused it", hr);
    // Whether the store undid the batch along with this message shows at
    // its commit; end it now, so that what it holds is kept or reported.
    EndBatch();
    return;
  }
  failuresInARow_ = 0;
  if (batchMessages_ == 0) batchFirst_ = Describe(position);
  batchLast_ = Describe(position);
  ++batchMessages_;
  if (++batchChecked_ >= settings_.batchSize) EndBatch();
}

HRESULT Importer::BeginBatch(HBATCHLOCK* batch) {
  for (int waits = 0;; ++waits) {
    // Each try waits as long as the store's busy timeout.
    HRESULT hr = import_->BeginBatch(batch);
    if (hr != STG_E_LOCKVIOLATION || waits == kMaxBusyWaits || ShouldStop()) return hr;
    if (waits == 0) Report("the store is busy in another process; waiting");
  }
}

void Importer::EndBatch() {
  if (batch_ == 0) return;
  HRESULT hr = import_->CommitBatch(batch_);
  batch_ = 0;
  uint64_t messages = batchMessages_;
  batchMessages_ = 0;
  batchChecked_ = 0;
  if (SUCCEEDED(hr)) {
    counts_.stored += messages;
    return;
  }
  counts_.failed += messages;
  counts_.stopped = true;
  if (messages > 0) {
    Report("the store could not keep the last " + std::to_string(messages) + " messages (" +
           batchFirst_ + (messages > 1 ? " to " + batchLast_ : std::string()) +
           "): " + StatusText(hr) + "; stopping");
  } else {
    Report("the store could not end a batch: " + StatusText(hr) + "; stopping");
  }
}

int RunImport(const std::vector<std::string>& args, FILE* out, FILE* err,
              const volatile std::sig_atomic_t* stop) {
  try {
    std::string folderPath;
    bool folderGiven = false;
    size_t batchSize = kDefaultBatchSize;
    std::vector<std::string> sources;
    bool options = true;
    auto usageError = [&](const std::string& text) {
      std::fprintf(err, "vornimport: %s\nTry 'vornimport --help'.\n", text.c_str());
      return 2;
    };
    for (size_t i = 0; i < args.size(); ++i) {
      const std::string& arg = args[i];
      if (options && arg == "--") {
        options = false;
      } else if (options && (arg == "-h" || arg == "--help")) {
        std::fputs(kUsage, out);
        return vorn_rt::FinishOutput(out, "vornimport", "the output", err) ? 0 : 1;
      } else if (options && (arg == "--folder" || arg.rfind("--folder=", 0) == 0)) {
        if (arg == "--folder") {
          if (++i == args.size()) return usageError("--folder needs a folder path");
          folderPath = args[i];
        } else {
          folderPath = arg.substr(9);
        }
        folderGiven = true;
      } else if (options && (arg == "--batch-size" || arg.rfind("--batch-size=", 0) == 0)) {
        std::string value;
        if (arg == "--batch-size") {
          if (++i == args.size()) return usageError("--batch-size needs a number");
          value = args[i];
        } else {
          value = arg.substr(13);
        }
        if (!ParseCount(value, &batchSize) || batchSize == 0 || batchSize > kMaxBatchSize) {
          return usageError("--batch-size takes a number from 1 to " +
                            std::to_string(kMaxBatchSize) + ", not " + Quoted(value));
        }
      } else if (options && arg.size() > 1 && arg[0] == '-') {
        return usageError("unknown option " + Quoted(arg));
      } else {
        sources.push_back(arg);
      }
    }
    if (sources.empty()) return usageError("no source given");
    if (folderGiven && folderPath.find_first_not_of('/') == std::string::npos) {
      return usageError("--folder needs a folder path");
    }

    ComPtr<IStoreNamespace> store;
    if (!vorn_host::OpenMailStore("vornimport",
                                  "Register vornstore.so and vornmime.so there (vornreg).", err,
                                  &store)) {
      return 2;
    }
    HRESULT hr = S_OK;
    ComPtr<IStoreImport> import;
    if (FAILED(hr = store.As(&import)) || !import) {
      std::fprintf(err, "vornimport: the mail store cannot import: %s\n", StatusText(hr).c_str());
      return 2;
    }

    ImportSettings settings;
    settings.batchSize = batchSize;
    settings.progress = isatty(fileno(err)) != 0;
    settings.stop = stop;
    double started = SteadySeconds();
    Importer importer(store.Get(), import.Get(), err, settings);
    STOREFOLDERID folder = FOLDERID_INVALID;
    std::string error;
    if (!importer.ResolveFolder(folderPath, &folder, &error)) {
      std::fprintf(err, "vornimport: %s\n", error.c_str());
      return 2;
    }
    importer.Import(sources, folder);
    const ImportCounts& counts = importer.counts();
    double seconds = SteadySeconds() - started;
    uint64_t messages = counts.stored + counts.duplicates + counts.failed;
    std::string extra;
    if (counts.badSources > 0) {
      extra = ", " + std::to_string(counts.badSources) +
              (counts.badSources == 1 ? " source" : " sources") + " not imported";
    }
    if (counts.textFromLines > 0) {
      extra += ", " + std::to_string(counts.textFromLines) +
               (counts.textFromLines == 1 ? " \"From \" line" : " \"From \" lines") +
               " after an empty line taken as text (no date to read)";
    }
    if (counts.interrupted) {
      std::fprintf(err, "vornimport: interrupted; run the same command again to go on\n");
    }
    std::fprintf(out,
                 "vornimport: %" PRIu64 " stored, %" PRIu64 " skipped as duplicates, %" PRIu64
                 " failed%s (into %s, %.1f s, %.0f messages/s)\n",
                 counts.stored, counts.duplicates, counts.failed, extra.c_str(),
                 folderGiven ? folderPath.c_str() : "Inbox", seconds,
                 seconds > 0 ? static_cast<double>(messages) / seconds : 0.0);
    const bool written = vorn_rt::FinishOutput(out, "vornimport", "the output", err);
    if (counts.interrupted) return 130;
    return counts.failed > 0 || counts.badSources > 0 || counts.stopped || !written ? 1 : 0;
  } catch (const std::bad_alloc&) {
    std::fprintf(err, "vornimport: out of memory\n");
    return 2;
  }
}

}  // namespace vorn_import
