// Mailbox names on the server: modified UTF-7 (the IMAP mailbox encoding)
// to and from UTF-8, and the split of a full name at the hierarchy
// separator.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace vorn_imap {

// The modified UTF-7 form of UTF-8 `name`. False when `name` is not valid
// UTF-8 (nothing useful is written to *out then).
bool EncodeMailboxName(std::string_view name, std::string* out);

// The UTF-8 form of a modified UTF-7 mailbox name. A name that is not valid
// modified UTF-7 (a bad base64 run, an unpaired surrogate, a byte outside
// printable ASCII) is returned as it is: a server's stray name is still
// shown rather than hidden.
std::string DecodeMailboxName(std::string_view encoded);

// The parts of a full (encoded) name split at `separator` (0: no hierarchy,
// one part).
std::vector<std::string> SplitMailboxName(std::string_view full, char separator);

}  // namespace vorn_imap
