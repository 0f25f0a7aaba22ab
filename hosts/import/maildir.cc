#include "hosts/import/maildir.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>

namespace vorn_import {
namespace {

bool IsFolder(const std::string& path) {
  struct stat info {};
  return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

struct DirCloser {
  void operator()(DIR* dir) const { closedir(dir); }
};

constexpr const char* kLink = "a symbolic link";
constexpr const char* kNotAFile = "not a regular file";

bool ListSubfolder(const std::string& maildir, const char* sub, std::vector<MaildirEntry>* entries,
                   std::vector<SkippedEntry>* skipped, std::string* error) {
  std::string folder = maildir + "/" + sub;
  struct stat folderInfo {};
  if (lstat(folder.c_str(), &folderInfo) != 0) return true;
  if (S_ISLNK(folderInfo.st_mode)) {
    if (IsFolder(folder)) skipped->push_back({sub, kLink});
    return true;
  }
  if (!S_ISDIR(folderInfo.st_mode)) return true;
  std::unique_ptr<DIR, DirCloser> dir(opendir(folder.c_str()));
  if (!dir) {
    *error = folder + ": " + std::strerror(errno);
    return false;
  }
  for (;;) {
    errno = 0;
    dirent* entry = readdir(dir.get());
    if (!entry) {
      if (errno != 0) {
        *error = folder + ": " + std::strerror(errno);
        return false;
      }
      return true;
    }
    std::string_view name = entry->d_name;
    if (name.empty() || name.front() == '.') continue;
    MaildirEntry message;
    message.path = folder + "/" + std::string(name);
    message.name = std::string(sub) + "/" + std::string(name);
    struct stat info {};
    if (lstat(message.path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) {
      skipped->push_back({message.name, S_ISLNK(info.st_mode) ? kLink : kNotAFile});
      continue;
    }
    message.size = static_cast<uint64_t>(info.st_size);
    if (!vorn_host::MaildirTicksFromName(name, &message.received)) {
      message.received =
          TicksFromUnixSeconds(info.st_mtim.tv_sec, static_cast<uint32_t>(info.st_mtim.tv_nsec));
    }
    // Only delivered-and-seen mail in cur/ carries flags; new/ is unread.
    message.seen = std::strcmp(sub, "cur") == 0 && MaildirSeenFromName(name);
    entries->push_back(std::move(message));
  }
}

}  // namespace

bool IsMaildir(const std::string& path) {
  return IsFolder(path) && (IsFolder(path + "/cur") || IsFolder(path + "/new"));
}

bool ListMaildir(const std::string& path, std::vector<MaildirEntry>* entries,
                 std::vector<SkippedEntry>* skipped, std::string* error) {
  entries->clear();
  skipped->clear();
  if (!ListSubfolder(path, "new", entries, skipped, error) ||
      !ListSubfolder(path, "cur", entries, skipped, error)) {
    return false;
  }
  std::sort(entries->begin(), entries->end(), [](const MaildirEntry& a, const MaildirEntry& b) {
    if (a.received != b.received) return a.received < b.received;
    return a.name < b.name;
  });
  std::sort(skipped->begin(), skipped->end(),
            [](const SkippedEntry& a, const SkippedEntry& b) { return a.name < b.name; });
  return true;
}

}  // namespace vorn_import
