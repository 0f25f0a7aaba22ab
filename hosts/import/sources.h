// What a source named on the command line is, and whether a piece of it is a
// mail message at all.
#pragma once

#include <string>
#include <string_view>

namespace vorn_import {

enum class SourceKind {
  kMbox,         // a file that starts with a "From " separator line
  kMaildir,      // a folder holding cur/ or new/
  kMessageFile,  // a file named *.eml (any case): one message
  kEmpty,        // a file of no bytes, whatever its name: no messages
  kRefused,      // anything else
};

// Looks at `path` (without changing anything) and tells what it is. For
// kRefused, *reason says why in words fit to follow the path in a report.
SourceKind DetectSource(const std::string& path, std::string* reason);

// Null when `bytes` can be a mail message: it starts with a header field
// ("Name:" with a printable name, as in "Received:" or "From:"). Otherwise
// the reason it cannot, fit to follow "not stored: ".
const char* CheckMessageStart(std::string_view bytes);

}  // namespace vorn_import
