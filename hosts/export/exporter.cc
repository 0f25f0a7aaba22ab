#include "hosts/export/exporter.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstring>
#include <new>
#include <unordered_map>

#include "hosts/common/folder_file_name.h"
#include "hosts/common/maildir_name.h"
#include "hosts/common/status_text.h"
#include "hosts/common/store_folders.h"
#include "hosts/export/mbox_writer.h"
#include "platform/runtime.h"
#include "platform/systime.h"
#include "runtime/com_ptr.h"

namespace vorn_export {
namespace {

using vorn_host::StatusText;

constexpr size_t kReadPiece = 64 * 1024;
// Messages up to this size are held whole while they are read.
constexpr size_t kHeldBytes = 1024 * 1024;
// The mbox writer hands its buffer to the file when it holds this much.
constexpr size_t kMboxFlushBytes = 256 * 1024;
// After this many messages in a row that could not be written, it is taken
// to be the destination (a full disk), not the messages, and the export
// stops.
constexpr int kMaxFailuresInARow = 20;

constexpr const char* kUsage =
    "Usage: vornexport [--folder PATH] [--recursive] --format mbox|maildir|eml DEST\n"
    "Writes the mail of the mail store of the platform root\n"
    "($VORN_ROOT, else ${XDG_DATA_HOME:-~/.local/share}/vorn) into the folder DEST.\n"
    "\n"
    "  --folder PATH     export this folder, a name path from the top such as\n"
    "                    Projects/2026. Default: every folder of the store.\n"
    "  --recursive       with --folder, its subfolders too.\n"
    "  --format FORMAT   mbox: one mbox file per folder (NAME.mbox);\n"
    "                    maildir: one Maildir per folder (NAME/cur);\n"
    "                    eml: one folder per folder, one .eml file per message.\n"
    "  -h, --help        show this help.\n"
    "\n"
    "Subfolders go into a folder of their parent's name. Messages are written\n"
    "byte for byte; mbox keeps the received time to the second, Maildir keeps\n"
    "it whole and the read flag, .eml gives it as the file's time.\n"
    "An export that was interrupted is completed by running it again.\n"
    "\n"
    "Exit status: 0 when every message was written, 1 when a message or a\n"
    "folder could not be, 2 for a usage error, a store that cannot be opened or\n"
    "a destination that cannot be made, 130 when interrupted.\n";

std::string Quoted(const std::string& text) { return "\"" + text + "\""; }
std::string Errno() { return std::strerror(errno); }

// Creates the folder `path` and the ones above it that are missing.
bool MakeFolders(const std::string& path, std::string* error) {
  struct stat info {};
  if (stat(path.c_str(), &info) == 0) {
    if (S_ISDIR(info.st_mode)) return true;
    *error = path + ": exists and is not a folder";
    return false;
  }
  size_t slash = path.find_last_of('/');
  if (slash != std::string::npos && slash > 0 && !MakeFolders(path.substr(0, slash), error)) {
    return false;
  }
  if (mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) {
    *error = path + ": cannot be created: " + Errno();
    return false;
  }
  return true;
}

bool WriteAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t n = write(fd, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

timespec TimespecFromTicks(uint64_t ticks) {
  uint32_t nanoseconds = 0;
  int64_t seconds = vorn_host::UnixSecondsFromTicks(ticks, &nanoseconds);
  timespec time{};
  time.tv_sec = static_cast<time_t>(seconds);
  time.tv_nsec = static_cast<long>(nanoseconds);
  return time;
}

// FNV-1a, 64 bits: names a message after its bytes.
class ContentHash {
 public:
  void Add(std::string_view bytes) {
    for (char c : bytes) {
      value_ ^= static_cast<unsigned char>(c);
      value_ *= 0x100000001b3ull;
    }
  }
  uint64_t value() const { return value_; }

 private:
  uint64_t value_ = 0xcbf29ce484222325ull;
};

// Reads message `id` of `folder` through its raw-text stream, handing each
// piece to `take`. False with the reason in *error.
template <typename Take>
bool ReadMessage(IStoreFolder* folder, MESSAGEID id, std::string* buffer, std::string* error,
                 Take take) {
  ComPtr<IStream> stream;
  HRESULT hr = folder->OpenMessage(id, IID_IStream, stream.PutVoid());
  if (FAILED(hr) || !stream) {
    *error = "the store cannot open it: " + StatusText(FAILED(hr) ? hr : E_UNEXPECTED);
    return false;
  }
  buffer->resize(kReadPiece);
  for (;;) {
    ULONG got = 0;
    hr = stream->Read(buffer->data(), static_cast<ULONG>(buffer->size()), &got);
    if (FAILED(hr)) {
      *error = "the store cannot read it: " + StatusText(hr);
      return false;
    }
    if (got == 0) return true;
    if (!take(std::string_view(buffer->data(), got))) return false;
  }
}

enum class Outcome { kWritten, kPresent, kFailed };

// Writes the messages of one folder into its file or folder on disk.
class FolderWriter {
 public:
  virtual ~FolderWriter() = default;
  // Gets the destination ready. False with the reason in *error.
  virtual bool Open(std::string* error) = 0;
  // True when an earlier run wrote the whole folder.
  virtual bool Complete() const { return false; }
  virtual Outcome Write(IStoreFolder* folder, const MessageInfo& message, std::string* error) = 0;
  // Ends the folder; `whole` when every message was offered. False with the
  // reason in *error when what was written cannot be kept.
  virtual bool Finish(bool whole, std::string* error) = 0;
};

// mbox: NAME.mbox.partial with its checkpoint NAME.mbox.resume while it is
// written, NAME.mbox when done.
class MboxFolderWriter final : public FolderWriter {
 public:
  explicit MboxFolderWriter(const std::string& path)
      : final_(path), partial_(path + ".partial"), checkpoint_(path + ".resume") {}
  ~MboxFolderWriter() override {
    if (fd_ >= 0) close(fd_);
  }

  bool Open(std::string* error) override {
    struct stat info {};
    if (stat(final_.c_str(), &info) == 0) {
      if (S_ISREG(info.st_mode)) {
        complete_ = true;
        return true;
      }
      *error = final_ + ": exists and is not a file";
      return false;
    }
    fd_ = open(partial_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd_ < 0) {
      *error = partial_ + ": cannot be written: " + Errno();
      return false;
    }
    // Go on after the checkpoint when the file holds what it says; else
    // start the folder afresh.
    uint64_t lastId = 0;
    uint64_t length = 0;
    if (ReadCheckpoint(&lastId, &length) && fstat(fd_, &info) == 0 &&
        static_cast<uint64_t>(info.st_size) >= length) {
      resumeAfter_ = static_cast<MESSAGEID>(lastId);
      written_ = length;
    }
    if (ftruncate(fd_, static_cast<off_t>(written_)) != 0 ||
        lseek(fd_, static_cast<off_t>(written_), SEEK_SET) < 0) {
      *error = partial_ + ": cannot be written: " + Errno();
      return false;
    }
    boundary_ = written_;
    lastId_ = resumeAfter_;
    if (!WriteCheckpoint()) {
      *error = checkpoint_ + ": cannot be written: " + Errno();
      return false;
    }
    return true;
  }

  bool Complete() const override { return complete_; }

  Outcome Write(IStoreFolder* folder, const MessageInfo& message, std::string* error) override {
    if (message.id <= resumeAfter_) return Outcome::kPresent;
    buffer_ += MboxSeparator(message.received);
    quoter_.Begin();
    bool ok = ReadMessage(folder, message.id, &piece_, error, [&](std::string_view piece) {
      quoter_.Add(piece, &buffer_);
      if (buffer_.size() < 4 * kMboxFlushBytes || Flush()) return true;
      *error = partial_ + ": cannot be written: " + Errno();
      return false;
    });
    if (!ok) {
      Undo();
      return Outcome::kFailed;
    }
    quoter_.End(&buffer_);
    boundary_ = written_ + buffer_.size();
    lastId_ = message.id;
    if (buffer_.size() >= kMboxFlushBytes && !(Flush() && WriteCheckpoint())) {
      *error = partial_ + ": cannot be written: " + Errno();
      Undo();
      return Outcome::kFailed;
    }
    return Outcome::kWritten;
  }

  bool Finish(bool whole, std::string* error) override {
    if (complete_) return true;
    if (!Flush()) {
      *error = partial_ + ": cannot be written: " + Errno();
      Undo();
      WriteCheckpoint();
      return false;
    }
    if (!whole) {
      if (WriteCheckpoint()) return true;
      *error = checkpoint_ + ": cannot be written: " + Errno();
      return false;
    }
    bool ok = fsync(fd_) == 0;
    ok = close(fd_) == 0 && ok;
    fd_ = -1;
    if (!ok || rename(partial_.c_str(), final_.c_str()) != 0) {
      *error = final_ + ": cannot be written: " + Errno();
      return false;
    }
    unlink(checkpoint_.c_str());
    return true;
  }

 private:
  bool Flush() {
    if (buffer_.empty()) return true;
    if (!WriteAll(fd_, buffer_)) return false;
    written_ += buffer_.size();
    buffer_.clear();
    return true;
  }

  // Takes back what the message at hand wrote, to the last message's end.
  void Undo() {
    if (boundary_ >= written_) {
      buffer_.resize(boundary_ - written_);
      return;
    }
    buffer_.clear();
    if (ftruncate(fd_, static_cast<off_t>(boundary_)) == 0 &&
        lseek(fd_, static_cast<off_t>(boundary_), SEEK_SET) >= 0) {
      written_ = boundary_;
    }
  }

  // The checkpoint names the last message and the file's length at its end;
  // it is written only once the file holds that much.
  bool WriteCheckpoint() {
    if (boundary_ > written_) return true;
    char line[64];
    int n = std::snprintf(line, sizeof(line), "%" PRIu32 " %" PRIu64 "\n", lastId_, boundary_);
    int fd = open(checkpoint_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) return false;
    bool ok = WriteAll(fd, std::string_view(line, static_cast<size_t>(n)));
    return close(fd) == 0 && ok;
  }

  bool ReadCheckpoint(uint64_t* lastId, uint64_t* length) {
    int fd = open(checkpoint_.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    char line[64] = {};
    ssize_t n = read(fd, line, sizeof(line) - 1);
    close(fd);
    if (n <= 0) return false;
    return std::sscanf(line, "%" SCNu64 " %" SCNu64, lastId, length) == 2 &&
           *lastId < MESSAGEID_INVALID;
  }

  std::string final_;
  std::string partial_;
  std::string checkpoint_;
  int fd_ = -1;
  bool complete_ = false;
  MESSAGEID resumeAfter_ = 0;
  MESSAGEID lastId_ = 0;
  uint64_t written_ = 0;   // bytes in the file
  uint64_t boundary_ = 0;  // where the last whole message ends, buffer included
  std::string buffer_;
  std::string piece_;
  MboxQuoter quoter_;
};

// Maildir and .eml: one file per message, named after its received time and
// a hash of its bytes; it is written under a temporary name and renamed.
//
// A message is held in memory while it is read (up to kHeldBytes), so that
// one an earlier run wrote is found by its name before any file is made for
// it. Files that are made and removed again are costly on file systems that
// will not hand out a freed inode for a while: each new file then has to
// look past every one freed recently.
class MessageFileWriter final : public FolderWriter {
 public:
  MessageFileWriter(const std::string& folder, bool maildir) : folder_(folder), maildir_(maildir) {
    // One name, so that what a killed run left there is written over.
    temporary_ = folder_ + (maildir_ ? "/tmp/vornexport" : "/.vornexport.tmp");
  }
  ~MessageFileWriter() override {
    if (fd_ >= 0) close(fd_);
  }

  bool Open(std::string* error) override {
    if (!MakeFolders(folder_, error)) return false;
    if (maildir_) {
      for (const char* sub : {"/cur", "/new", "/tmp"}) {
        if (!MakeFolders(folder_ + sub, error)) return false;
      }
    }
    // Into a folder without messages, no message can have been written
    // before, and the names need not be looked for.
    fresh_ = !HoldsMessages(maildir_ ? folder_ + "/cur" : folder_);
    return true;
  }

  Outcome Write(IStoreFolder* folder, const MessageInfo& message, std::string* error) override {
    held_.clear();
    uint64_t size = 0;
    ContentHash hash;
    bool ok = ReadMessage(folder, message.id, &piece_, error, [&](std::string_view piece) {
      hash.Add(piece);
      size += piece.size();
      if (fd_ < 0 && held_.size() + piece.size() <= kHeldBytes) {
        held_.append(piece);
        return true;
      }
      if (fd_ < 0 && !(OpenTemporary(error) && Put(held_, error))) return false;
      held_.clear();
      return Put(piece, error);
    });
    if (!ok) return Drop();
    // The same bytes received at the same time twice in one folder get
    // names of their own, numbered in the folder's order.
    uint64_t key = hash.value() ^ (message.received * 0x9e3779b97f4a7c15ull);
    uint32_t copy = ++copies_[key];
    std::string target;
    std::string other;  // the same message under the other read flag
    if (maildir_) {
      std::string base = vorn_host::MaildirBaseName(message.received, hash.value());
      if (copy > 1) base.insert(base.size() - 5, "C" + std::to_string(copy));
      target = folder_ + "/cur/" + base + (message.read ? ":2,S" : ":2,");
      other = folder_ + "/cur/" + base + (message.read ? ":2," : ":2,S");
    } else {
      target = folder_ + "/" + EmlName(message.received, hash.value(), copy);
    }
    if (!fresh_ && Present(target, other, size)) {
      // A temporary file the message spilled into is kept for the next
      // one and removed by Finish.
      if (fd_ >= 0) {
        close(fd_);
        fd_ = -1;
      }
      return Outcome::kPresent;
    }
    if (fd_ < 0 && !(OpenTemporary(error) && Put(held_, error))) return Drop();
    // The file's time is the received time: readers of .eml files and of
    // Maildir names without a time take it from there.
    timespec times[2] = {TimespecFromTicks(message.received), TimespecFromTicks(message.received)};
    if (futimens(fd_, times) != 0) {
      *error = temporary_ + ": cannot set its time: " + Errno();
      return Drop();
    }
    int closed = close(fd_);
    fd_ = -1;
    if (closed != 0) {
      *error = temporary_ + ": cannot be written: " + Errno();
      return Drop();
    }
    if (rename(temporary_.c_str(), target.c_str()) != 0) {
      *error = target + ": cannot be written: " + Errno();
      return Drop();
    }
    temporaryLeft_ = false;
    return Outcome::kWritten;
  }

  bool Finish(bool, std::string*) override {
    if (temporaryLeft_) unlink(temporary_.c_str());
    temporaryLeft_ = false;
    return true;
  }

 private:
  bool OpenTemporary(std::string* error) {
    fd_ = open(temporary_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd_ < 0) {
      *error = temporary_ + ": cannot be written: " + Errno();
      return false;
    }
    temporaryLeft_ = true;
    return true;
  }

  bool Put(std::string_view bytes, std::string* error) {
    if (WriteAll(fd_, bytes)) return true;
    *error = temporary_ + ": cannot be written: " + Errno();
    return false;
  }

  // Gives up the message at hand; its temporary file goes.
  Outcome Drop() {
    if (fd_ >= 0) {
      close(fd_);
      fd_ = -1;
    }
    if (temporaryLeft_) unlink(temporary_.c_str());
    temporaryLeft_ = false;
    return Outcome::kFailed;
  }

  // Whether an earlier run wrote the message, `size` bytes, as `target`,
  // or as `other` (under the other read flag), which then becomes
  // `target`. A file of another length is not the message but what a run
  // cut short by a crash can leave; it goes, and the message is written
  // again.
  static bool Present(const std::string& target, const std::string& other, uint64_t size) {
    struct stat info {};
    if (lstat(target.c_str(), &info) == 0) {
      return S_ISREG(info.st_mode) && static_cast<uint64_t>(info.st_size) == size;
    }
    if (other.empty() || lstat(other.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) {
      return false;
    }
    if (static_cast<uint64_t>(info.st_size) != size) {
      unlink(other.c_str());
      return false;
    }
    return rename(other.c_str(), target.c_str()) == 0;
  }

  // "20260107-093000-<hash>.eml": sorted by name, the files are in the
  // order the mail was received.
  static std::string EmlName(uint64_t ticks, uint64_t hash, uint32_t copy) {
    FILETIME time{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
    SYSTEMTIME fields{};
    if (!FileTimeToSystemTime(&time, &fields)) fields = SYSTEMTIME{1601, 1, 1, 1, 0, 0, 0, 0};
    char name[96];
    std::snprintf(name, sizeof(name), "%04u%02u%02u-%02u%02u%02u-%016" PRIx64, fields.wYear,
                  fields.wMonth, fields.wDay, fields.wHour, fields.wMinute, fields.wSecond, hash);
    std::string text = name;
    if (copy > 1) text += "-" + std::to_string(copy);
    return text + ".eml";
  }

  // Whether `dir` holds a file that is not hidden.
  static bool HoldsMessages(const std::string& dir) {
    DIR* listing = opendir(dir.c_str());
    if (!listing) return true;
    bool found = false;
    while (dirent* entry = readdir(listing)) {
      if (entry->d_name[0] != '.' && entry->d_type != DT_DIR) {
        found = true;
        break;
      }
    }
    closedir(listing);
    return found;
  }

  std::string folder_;
  bool maildir_;
  bool fresh_ = false;
  std::string temporary_;
  int fd_ = -1;                 // the temporary file, while a message is in it
  bool temporaryLeft_ = false;  // the temporary file is on disk
  std::string held_;
  std::string piece_;
  std::unordered_map<uint64_t, uint32_t> copies_;
};

bool ParseFormat(const std::string& text, Format* format) {
  if (text == "mbox") {
    *format = Format::kMbox;
  } else if (text == "maildir") {
    *format = Format::kMaildir;
  } else if (text == "eml") {
    *format = Format::kEml;
  } else {
    return false;
  }
  return true;
}

const char* FormatName(Format format) {
  switch (format) {
    case Format::kMbox:
      return "mbox";
    case Format::kMaildir:
      return "maildir";
    case Format::kEml:
      return "eml";
  }
  return "";
}

}  // namespace

Exporter::Exporter(IStoreNamespace* store, FILE* report, ExportSettings settings)
    : store_(store), report_(report), settings_(settings), bar_(report, settings.progress) {}

Exporter::~Exporter() = default;

void Exporter::Report(const std::string& line) {
  bar_.Clear();
  std::fprintf(report_, "vornexport: %s\n", line.c_str());
  std::fflush(report_);
}

bool Exporter::ShouldStop() {
  if (settings_.stop && *settings_.stop != 0) counts_.interrupted = true;
  return counts_.interrupted || counts_.stopped;
}

bool Exporter::FindFolder(const std::string& path, STOREFOLDERID* folder, std::string* error) {
  *folder = FOLDERID_INVALID;
  std::vector<std::string> names;
  if (!vorn_host::SplitFolderPath(path, &names) || names.empty()) {
    *error = "the folder path " + Quoted(path) + " names no folder";
    return false;
  }
  STOREFOLDERID current = FOLDERID_ROOT;
  std::string walked;
  for (const std::string& name : names) {
    STOREFOLDERID next = FOLDERID_INVALID;
    HRESULT hr = vorn_host::FindSubFolder(store_, current, &name, &next);
    if (FAILED(hr)) {
      *error = "cannot list the folders" +
               (walked.empty() ? std::string() : " of " + Quoted(walked)) + ": " +
               StatusText(hr);
      return false;
    }
    walked += (walked.empty() ? "" : "/") + name;
    if (next == FOLDERID_INVALID) {
      *error = "the store has no folder " + Quoted(walked);
      return false;
    }
    current = next;
  }
  *folder = current;
  return true;
}

bool Exporter::Plan(STOREFOLDERID parent, const std::string& storePath,
                    const std::string& directory, bool recursive, std::vector<Planned>* plan) {
  std::vector<FOLDERPROPS> children;
  HRESULT hr = vorn_host::ListSubFolders(store_, parent, &children);
  if (FAILED(hr)) {
    Report("cannot list the folders" +
           (storePath.empty() ? std::string() : " of " + Quoted(storePath)) + ": " +
           StatusText(hr) + "; they are left out");
    ++counts_.foldersFailed;
  }
  for (const FOLDERPROPS& child : children) {
    Planned folder{child.dwFolderId,
                   (storePath.empty() ? "" : storePath + "/") + child.szName,
                   directory,
                   vorn_host::FolderFileName(child.szName),
                   child.cMessage};
    plan->push_back(folder);
    if (recursive && child.cSubFolders > 0) {
      Plan(folder.id, folder.storePath, directory + "/" + folder.fileName, true, plan);
    }
  }
  return SUCCEEDED(hr);
}

bool Exporter::Export(STOREFOLDERID folder, bool recursive, const std::string& destination) {
  std::string error;
  if (!MakeFolders(destination, &error)) {
    Report(error);
    return false;
  }
  std::vector<Planned> plan;
  if (folder == FOLDERID_ROOT) {
    Plan(FOLDERID_ROOT, "", destination, true, &plan);
  } else {
    // The folder itself, found among its parent's subfolders for its
    // name and count.
    bool found = false;
    std::vector<STOREFOLDERID> stack{FOLDERID_ROOT};
    std::vector<std::string> paths{""};
    while (!stack.empty() && !found) {
      STOREFOLDERID parent = stack.back();
      std::string path = paths.back();
      stack.pop_back();
      paths.pop_back();
      std::vector<FOLDERPROPS> children;
      vorn_host::ListSubFolders(store_, parent, &children);
      for (const FOLDERPROPS& child : children) {
        std::string childPath = (path.empty() ? "" : path + "/") + child.szName;
        if (child.dwFolderId == folder) {
          Planned self{folder, childPath, destination, vorn_host::FolderFileName(child.szName),
                       child.cMessage};
          plan.push_back(self);
          if (recursive) {
            Plan(folder, childPath, destination + "/" + self.fileName, true, &plan);
          }
          found = true;
          break;
        }
        stack.push_back(child.dwFolderId);
        paths.push_back(childPath);
      }
    }
    if (!found) {
      Report("the store has no folder " + std::to_string(folder));
      return false;
    }
  }
  uint64_t total = 0;
  for (const Planned& planned : plan) total += planned.messages;
  bar_.Start(total);
  for (const Planned& planned : plan) {
    if (counts_.interrupted || counts_.stopped) break;
    ExportFolder(planned);
  }
  bar_.Clear();
  return true;
}

void Exporter::ExportFolder(const Planned& planned) {
  ++counts_.folders;
  std::unique_ptr<FolderWriter> writer;
  std::string error;
  std::string target = planned.directory + "/" + planned.fileName;
  if (settings_.format == Format::kMbox) {
    if (!MakeFolders(planned.directory, &error)) {
      Report(Quoted(planned.storePath) + ": not written: " + error);
      ++counts_.foldersFailed;
      return;
    }
    writer = std::make_unique<MboxFolderWriter>(target + ".mbox");
  } else {
    writer = std::make_unique<MessageFileWriter>(target, settings_.format == Format::kMaildir);
  }
  if (!writer->Open(&error)) {
    Report(Quoted(planned.storePath) + ": not written: " + error);
    ++counts_.foldersFailed;
    return;
  }
  if (writer->Complete()) {
    counts_.present += planned.messages;
    done_ += planned.messages;
    bar_.Update(done_, counts_.written + counts_.present);
    return;
  }
  ComPtr<IStoreFolder> folder;
  HRESULT hr = store_->OpenFolder(planned.id, 0, folder.Put());
  bool whole = false;
  if (SUCCEEDED(hr) && folder) {
    MESSAGEPROPS props{};
    props.cbSize = CB_MESSAGEPROPS;
    HENUMSTORE enumeration = 0;
    hr = folder->GetFirstMessage(MSGPROPS_FAST, 0, MESSAGEID_FIRST, &props, &enumeration);
    while (hr == S_OK) {
      MessageInfo message;
      message.id = props.dwMessageId;
      message.received = (static_cast<uint64_t>(props.ftReceived.dwHighDateTime) << 32) |
                         props.ftReceived.dwLowDateTime;
      message.read = (props.dwFlags & MSGFLAG_READ) != 0;
      folder->FreeMessageProps(&props);
      Outcome outcome = writer->Write(folder.Get(), message, &error);
      switch (outcome) {
        case Outcome::kWritten:
          ++counts_.written;
          failuresInARow_ = 0;
          break;
        case Outcome::kPresent:
          ++counts_.present;
          failuresInARow_ = 0;
          break;
        case Outcome::kFailed:
          ++counts_.failed;
          Report(Quoted(planned.storePath) + ": message " + std::to_string(message.id) +
                 " not written: " + error);
          if (++failuresInARow_ >= kMaxFailuresInARow) {
            Report(std::to_string(failuresInARow_) + " messages in a row not written; stopping");
            counts_.stopped = true;
          }
          break;
      }
      bar_.Update(++done_, counts_.written + counts_.present);
      // A stop is heeded after a message that was written (or failed), so
      // that every run after an interruption gets further.
      if (outcome != Outcome::kPresent && ShouldStop()) break;
      hr = folder->GetNextMessage(enumeration, MSGPROPS_FAST, &props);
    }
    if (enumeration != 0) folder->GetMessageClose(enumeration);
    whole = hr == S_FALSE;
  }
  if (FAILED(hr)) {
    Report(Quoted(planned.storePath) + ": cannot list its messages: " + StatusText(hr) +
           "; the rest of the folder is left");
    ++counts_.foldersFailed;
  }
  if (!writer->Finish(whole, &error)) {
    Report(Quoted(planned.storePath) + ": " + error);
    ++counts_.foldersFailed;
  }
}

int RunExport(const std::vector<std::string>& args, FILE* out, FILE* err,
              const volatile std::sig_atomic_t* stop) {
  try {
    std::string folderPath;
    bool folderGiven = false;
    bool recursive = false;
    bool formatGiven = false;
    Format format = Format::kMbox;
    std::vector<std::string> destinations;
    bool options = true;
    auto usageError = [&](const std::string& text) {
      std::fprintf(err, "vornexport: %s\nTry 'vornexport --help'.\n", text.c_str());
      return 2;
    };
    for (size_t i = 0; i < args.size(); ++i) {
      const std::string& arg = args[i];
      auto value = [&](const char* option, std::string* text) {
        size_t length = std::strlen(option);
        if (arg == option) {
          if (i + 1 == args.size()) return false;
          *text = args[++i];
        } else {
          *text = arg.substr(length + 1);
        }
        return true;
      };
      auto is = [&](const char* option) {
        return arg == option || arg.rfind(std::string(option) + "=", 0) == 0;
      };
      if (options && arg == "--") {
        options = false;
      } else if (options && (arg == "-h" || arg == "--help")) {
        std::fputs(kUsage, out);
        return 0;
      } else if (options && is("--folder")) {
        if (!value("--folder", &folderPath)) return usageError("--folder needs a folder path");
        folderGiven = true;
      } else if (options && arg == "--recursive") {
        recursive = true;
      } else if (options && is("--format")) {
        std::string text;
        if (!value("--format", &text)) return usageError("--format needs mbox, maildir or eml");
        if (!ParseFormat(text, &format)) {
          return usageError("--format takes mbox, maildir or eml, not " + Quoted(text));
        }
        formatGiven = true;
      } else if (options && arg.size() > 1 && arg[0] == '-') {
        return usageError("unknown option " + Quoted(arg));
      } else {
        destinations.push_back(arg);
      }
    }
    if (!formatGiven) return usageError("--format is needed: mbox, maildir or eml");
    if (destinations.size() != 1) {
      return usageError(destinations.empty() ? "no destination given"
                                             : "one destination only, not " +
                                                   std::to_string(destinations.size()));
    }
    if (destinations[0].empty()) return usageError("the destination is an empty path");

    ComPtr<IStoreNamespace> store;
    if (!vorn_host::OpenMailStore("vornexport", "Register a store server there (vornreg).", err,
                                  &store)) {
      return 2;
    }

    ExportSettings settings;
    settings.format = format;
    settings.progress = isatty(fileno(err)) != 0;
    settings.stop = stop;
    double started = vorn_host::SteadySeconds();
    Exporter exporter(store.Get(), err, settings);
    STOREFOLDERID folder = FOLDERID_ROOT;
    std::string error;
    if (folderGiven && !exporter.FindFolder(folderPath, &folder, &error)) {
      std::fprintf(err, "vornexport: %s\n", error.c_str());
      return 2;
    }
    std::string destination = destinations[0];
    while (destination.size() > 1 && destination.back() == '/') destination.pop_back();
    if (!exporter.Export(folder, recursive, destination)) return 2;
    const ExportCounts& counts = exporter.counts();
    double seconds = vorn_host::SteadySeconds() - started;
    uint64_t messages = counts.written + counts.present + counts.failed;
    std::string extra;
    if (counts.foldersFailed > 0) {
      extra = ", " + std::to_string(counts.foldersFailed) +
              (counts.foldersFailed == 1 ? " folder" : " folders") + " not complete";
    }
    if (counts.interrupted) {
      std::fprintf(err, "vornexport: interrupted; run the same command again to go on\n");
    }
    std::fprintf(out,
                 "vornexport: %" PRIu64 " written, %" PRIu64 " already there, %" PRIu64
                 " failed%s (%" PRIu64 " %s, %s into %s, %.1f s, %.0f messages/s)\n",
                 counts.written, counts.present, counts.failed, extra.c_str(), counts.folders,
                 counts.folders == 1 ? "folder" : "folders", FormatName(format),
                 destination.c_str(), seconds,
                 seconds > 0 ? static_cast<double>(messages) / seconds : 0.0);
    std::fflush(out);
    if (counts.interrupted) return 130;
    return counts.failed > 0 || counts.foldersFailed > 0 || counts.stopped ? 1 : 0;
  } catch (const std::bad_alloc&) {
    std::fprintf(err, "vornexport: out of memory\n");
    return 2;
  }
}

}  // namespace vorn_export
