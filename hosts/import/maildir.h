// Reading a Maildir folder: one message per file in its cur/ and new/
// subfolders.
//
// A file's name carries the time the message was delivered and its flags,
// of which "S" means seen (see hosts/common/maildir_name.h). Files whose
// names start with "." are not messages (the format's own hidden files) and
// are left out, as is tmp/ (deliveries still being written).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "hosts/common/maildir_name.h"

namespace vorn_import {

struct MaildirEntry {
  std::string path;       // the file's full path
  std::string name;       // "cur/<file>" or "new/<file>", for reports
  uint64_t received = 0;  // FILETIME ticks: from the name, else the file's modification time
  bool seen = false;      // the S flag
  uint64_t size = 0;      // the file's size in bytes
};

// True when `path` is a folder holding cur/ or new/.
bool IsMaildir(const std::string& path);

using vorn_host::MaildirSeenFromName;
using vorn_host::MaildirTimeFromName;
using vorn_host::TicksFromUnixSeconds;

// An entry of cur/ or new/ (or one of those folders) left out.
struct SkippedEntry {
  std::string name;  // "cur/<file>", "new/<file>", "cur" or "new"
  const char* why;   // "a symbolic link", "not a regular file"
};

// Lists the messages of the Maildir at `path`, ordered by delivery time and
// then by name, so that a folder imports in the order its mail arrived.
// Only regular files are messages: symbolic links (which may point anywhere
// outside the Maildir) and anything else are left out and named in
// *skipped, in name order; so is a cur/ or new/ that is itself a link.
// False, with the reason in *error, when cur/ or new/ exists but cannot be
// read.
bool ListMaildir(const std::string& path, std::vector<MaildirEntry>* entries,
                 std::vector<SkippedEntry>* skipped, std::string* error);

}  // namespace vorn_import
