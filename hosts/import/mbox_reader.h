// Reading an mbox file one message at a time.
//
// An mbox file is a sequence of messages, each introduced by a separator line
// "From <sender> <date>". The reader hands out each message's bytes as they
// were before they went into the file: the separator line is left out, the
// blank line that the format puts before the next separator is left out, and
// one ">" is taken from every line that matches ^>+From (the quoting that
// writers apply so that such lines cannot pass for separators). Line endings
// (LF or CRLF) stay as they are in the file.
//
// A line that starts with "From " is a separator when it is the file's first
// line, or when it follows an empty line and carries a date the reader
// understands; any other such line belongs to the message. The ones after an
// empty line are counted (textFromLines): each may be a separator whose date
// the reader could not make out, which joined two messages into one.
//
// An empty file holds no messages. A last line without its line end is part
// of the last message (flagged `truncated`).
//
// The file is read in chunks; only the message being assembled is held in
// memory, so files of any size are read with a memory footprint bounded by
// their largest message.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace vorn_import {

// The largest message the importer assembles from an mbox file, in bytes.
// Bytes of a longer message are counted, not kept.
constexpr uint64_t kMaxMessageBytes = uint64_t{1} << 30;

// FILETIME ticks (100 ns since 1601-01-01 UTC) of the date on a separator
// line, the rest of the line after "From " given in `rest` (its line ending
// may be included). The sender comes first, then either
// "Wed Jan  7 09:30:00 2026" (asctime, optionally with a zone such as +0100
// or UTC before or after the year) or "7 Jan 2026 09:30:00"; a weekday and
// commas are allowed. The date is read as UTC: a zone is ignored. Returns
// false when no date is found or its fields are out of range.
bool ParseSeparatorDate(std::string_view rest, uint64_t* ticks);

// True when `line` (with or without its ending) starts with "From " and
// carries a date ParseSeparatorDate understands.
bool IsSeparatorLine(std::string_view line);

struct MboxMessage {
  std::string_view bytes;  // the message; valid until the next call of Next
  uint64_t line = 0;       // 1-based line of its separator in the file
  uint64_t offset = 0;     // byte offset of its separator
  bool hasDate = false;    // the separator carried a date
  uint64_t received = 0;   // its ticks when hasDate
  bool truncated = false;  // the message's last line has no line end (the file ends there)
  bool tooLarge = false;   // longer than kMaxMessageBytes; `bytes` is empty
  uint64_t size = 0;       // the message's length, also when tooLarge
};

class MboxReader {
 public:
  // `chunkSize` is how much is read at a time (tests use tiny ones).
  explicit MboxReader(size_t chunkSize = size_t{1} << 20);
  ~MboxReader();
  MboxReader(const MboxReader&) = delete;
  MboxReader& operator=(const MboxReader&) = delete;

  // Opens the file at `path`. False, with the reason in *error, when it
  // cannot be opened or is neither empty nor starts with a separator line.
  bool Open(const std::string& path, std::string* error);

  enum class Result { kMessage, kEnd, kError };
  // The next message in *message. kEnd after the last; kError, with the
  // reason in error(), when the file cannot be read further (the messages
  // handed out before stand).
  Result Next(MboxMessage* message);

  const std::string& error() const { return error_; }
  // Bytes of the file consumed so far, for progress.
  uint64_t consumed() const { return consumed_; }
  // Lines read so far that start with "From " and follow an empty line but
  // carry no date the reader understands, so were taken as message text.
  uint64_t textFromLines() const { return textFromLines_; }

 private:
  // The next line with its ending in *line (valid until the next call);
  // false at the end of the file or on a read error (error_ set).
  // A line longer than the piece limit comes in pieces; *continuation
  // tells that a piece does not start a line.
  bool NextLine(std::string_view* line, bool* continuation);
  bool Fill();
  void Append(std::string_view line);

  int fd_ = -1;
  std::vector<char> buffer_;
  size_t chunkSize_;
  size_t begin_ = 0;  // first unconsumed byte of buffer_
  size_t end_ = 0;    // end of the data in buffer_
  size_t scan_ = 0;   // where the search for the next line end resumes
  bool eof_ = false;
  std::string error_;

  uint64_t consumed_ = 0;    // bytes of the file handed out as lines
  uint64_t textFromLines_ = 0;
  uint64_t lineNumber_ = 0;  // of the line the last piece handed out belongs to
  bool atLineStart_ = true;

  // The separator that introduces the next message, once read.
  bool haveSeparator_ = false;
  uint64_t separatorLine_ = 0;
  uint64_t separatorOffset_ = 0;
  bool separatorComplete_ = false;  // the separator line has its line end
  bool separatorHasDate_ = false;
  uint64_t separatorTicks_ = 0;

  std::string message_;
  uint64_t messageSize_ = 0;
};

}  // namespace vorn_import
