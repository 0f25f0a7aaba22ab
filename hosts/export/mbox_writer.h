// Writing messages into an mbox file, in the mboxrd form: each message
// follows a separator line "From MAILER-DAEMON <date>" that carries its
// received time in UTC, every line of it that matches ^>*From gets one ">"
// more (so that none can pass for a separator and the quoting can be taken
// off again), it ends with a line end (one is added when it has none) and an
// empty line follows it.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace vorn_export {

// The separator line, with its line end, for a message received at `ticks`
// (FILETIME, UTC), e.g. "From MAILER-DAEMON Wed Jan  7 09:30:00 2026\n".
// The fraction of the second is left out.
std::string MboxSeparator(uint64_t ticks);

// Quotes one message given in pieces of any size, appending what goes into
// the file to *out. The quoting of a line that a piece ends inside waits
// for the next piece.
class MboxQuoter {
 public:
  // Starts a message.
  void Begin();
  void Add(std::string_view piece, std::string* out);
  // Ends the message: adds its last line end when it has none, and the
  // empty line after it.
  void End(std::string* out);

 private:
  void Release(std::string* out);

  bool atLineStart_ = true;
  size_t quotes_ = 0;   // ">" held at the start of the line
  size_t matched_ = 0;  // letters of "From " held after them
  char last_ = '\n';    // the last byte of the message so far
  bool empty_ = true;
};

}  // namespace vorn_export
