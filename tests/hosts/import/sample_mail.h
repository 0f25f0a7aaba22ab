// Generated mail for the importer's tests and benchmark: many different,
// realistic messages, and an mbox file holding them as an mboxrd writer
// would.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace import_test {

// Message `index` of a generated mailbox. Deterministic. Among them are
// messages with CRLF line ends, body lines that start with "From " and
// ">From " (which the mbox file must quote), 8-bit and NUL bytes, empty
// lines at the end, and multipart messages with an attachment.
std::string GeneratedMessage(int index);

// The separator line (without its line end) under which message `index`
// goes into an mbox file, and the received time it gives, in FILETIME ticks.
std::string GeneratedSeparator(int index, uint64_t* ticks);

// An mbox file of messages `first` to `first + count - 1`.
std::string GeneratedMbox(int first, int count);

}  // namespace import_test
