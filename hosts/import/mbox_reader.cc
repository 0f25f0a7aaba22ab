#include "hosts/import/mbox_reader.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/systime.h"
#include "runtime/text.h"

namespace vorn_import {
namespace {

// A line longer than this is handed out in pieces, so that a file without
// line ends never makes the buffer grow without bound.
constexpr size_t kMaxLinePiece = size_t{16} << 20;

constexpr std::string_view kFrom = "From ";

bool IsDigits(std::string_view text) {
  if (text.empty()) return false;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

int Number(std::string_view digits) {
  int value = 0;
  for (char c : digits) value = value * 10 + (c - '0');
  return value;
}

// 1 to 12 for an English month abbreviation in any case, else 0.
int Month(std::string_view token) {
  static constexpr const char* kMonths[] = {"jan", "feb", "mar", "apr", "may", "jun",
                                            "jul", "aug", "sep", "oct", "nov", "dec"};
  if (token.size() != 3) return 0;
  for (int i = 0; i < 12; ++i) {
    if (vorn_rt::EqualNoCase(token, kMonths[i])) {
      return i + 1;
    }
  }
  return 0;
}

// "H:MM", "HH:MM" or "HH:MM:SS".
bool Time(std::string_view token, int* hour, int* minute, int* second) {
  size_t colon = token.find(':');
  if (colon == std::string_view::npos || colon == 0 || colon > 2) return false;
  std::string_view h = token.substr(0, colon);
  std::string_view rest = token.substr(colon + 1);
  std::string_view m = rest.substr(0, rest.find(':'));
  std::string_view s;
  if (m.size() < rest.size()) s = rest.substr(m.size() + 1);
  if (!IsDigits(h) || m.size() != 2 || !IsDigits(m)) return false;
  if (m.size() < rest.size() && (s.size() != 2 || !IsDigits(s))) return false;
  *hour = Number(h);
  *minute = Number(m);
  *second = s.empty() ? 0 : Number(s);
  return true;
}

bool Day(std::string_view token, int* day) {
  if (token.size() > 2 || !IsDigits(token)) return false;
  *day = Number(token);
  return true;
}

bool Year(std::string_view token, int* year) {
  if (token.size() != 4 || !IsDigits(token)) return false;
  *year = Number(token);
  return true;
}

bool ToTicks(int year, int month, int day, int hour, int minute, int second, uint64_t* ticks) {
  SYSTEMTIME fields{};
  fields.wYear = static_cast<WORD>(year);
  fields.wMonth = static_cast<WORD>(month);
  fields.wDay = static_cast<WORD>(day);
  fields.wHour = static_cast<WORD>(hour);
  fields.wMinute = static_cast<WORD>(minute);
  fields.wSecond = static_cast<WORD>(second);
  FILETIME time{};
  if (!SystemTimeToFileTime(&fields, &time)) return false;
  *ticks = (static_cast<uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
  return true;
}

std::string_view WithoutLineEnd(std::string_view line) {
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.remove_suffix(1);
  return line;
}

bool IsBlank(std::string_view line) { return line == "\n" || line == "\r\n"; }

}  // namespace

bool ParseSeparatorDate(std::string_view rest, uint64_t* ticks) {
  rest = WithoutLineEnd(rest);
  // Split into at most a few dozen tokens; a separator is short.
  constexpr size_t kMaxTokens = 32;
  std::string_view tokens[kMaxTokens];
  size_t count = 0;
  size_t i = 0;
  while (i < rest.size() && count < kMaxTokens) {
    while (i < rest.size() && (rest[i] == ' ' || rest[i] == '\t')) ++i;
    size_t start = i;
    while (i < rest.size() && rest[i] != ' ' && rest[i] != '\t') ++i;
    if (i > start) {
      std::string_view token = rest.substr(start, i - start);
      while (!token.empty() && token.back() == ',') token.remove_suffix(1);
      if (!token.empty()) tokens[count++] = token;
    }
  }
  // The first token is the sender; the date follows.
  for (size_t t = 1; t < count; ++t) {
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
    // Month Day Time [Zone] Year
    if (t + 3 < count && (month = Month(tokens[t])) != 0 && Day(tokens[t + 1], &day) &&
        Time(tokens[t + 2], &hour, &minute, &second)) {
      if (Year(tokens[t + 3], &year) || (t + 4 < count && Year(tokens[t + 4], &year))) {
        return ToTicks(year, month, day, hour, minute, second, ticks);
      }
    }
    // Day Month Year Time
    if (t + 3 < count && Day(tokens[t], &day) && (month = Month(tokens[t + 1])) != 0 &&
        Year(tokens[t + 2], &year) && Time(tokens[t + 3], &hour, &minute, &second)) {
      return ToTicks(year, month, day, hour, minute, second, ticks);
    }
  }
  return false;
}

bool IsSeparatorLine(std::string_view line) {
  if (line.substr(0, kFrom.size()) != kFrom) return false;
  uint64_t ticks = 0;
  return ParseSeparatorDate(line.substr(kFrom.size()), &ticks);
}

MboxReader::MboxReader(size_t chunkSize) : chunkSize_(chunkSize == 0 ? 1 : chunkSize) {}

MboxReader::~MboxReader() {
  if (fd_ >= 0) close(fd_);
}

bool MboxReader::Open(const std::string& path, std::string* error) {
  fd_ = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd_ < 0) {
    *error = std::strerror(errno);
    return false;
  }
  posix_fadvise(fd_, 0, 0, POSIX_FADV_SEQUENTIAL);
  std::string_view first;
  bool continuation = false;
  if (!NextLine(&first, &continuation)) {
    if (error_.empty()) return true;  // an empty file: no messages
    *error = error_;
    return false;
  }
  if (first.substr(0, kFrom.size()) != kFrom) {
    *error = "it does not start with a \"From \" line";
    return false;
  }
  haveSeparator_ = true;
  separatorLine_ = lineNumber_;
  separatorOffset_ = 0;
  separatorComplete_ = first.back() == '\n';
  separatorHasDate_ = ParseSeparatorDate(first.substr(kFrom.size()), &separatorTicks_);
  return true;
}

bool MboxReader::Fill() {
  if (begin_ > 0) {
    std::memmove(buffer_.data(), buffer_.data() + begin_, end_ - begin_);
    scan_ -= begin_;
    end_ -= begin_;
    begin_ = 0;
  }
  if (buffer_.size() - end_ < chunkSize_) {
    buffer_.resize(std::max(buffer_.size() * 2, end_ + chunkSize_));
  }
  for (;;) {
    ssize_t n = read(fd_, buffer_.data() + end_, buffer_.size() - end_);
    if (n > 0) {
      end_ += static_cast<size_t>(n);
      return true;
    }
    if (n == 0) {
      eof_ = true;
      return true;
    }
    if (errno != EINTR) {
      error_ = std::strerror(errno);
      return false;
    }
  }
}

bool MboxReader::NextLine(std::string_view* line, bool* continuation) {
  for (;;) {
    const char* data = buffer_.data();
    const void* found = end_ > scan_ ? std::memchr(data + scan_, '\n', end_ - scan_) : nullptr;
    size_t length = 0;
    if (found) {
      length = static_cast<size_t>(static_cast<const char*>(found) - (data + begin_)) + 1;
    } else if (end_ - begin_ >= kMaxLinePiece || (eof_ && end_ > begin_)) {
      length = end_ - begin_;
    } else if (eof_) {
      return false;
    } else {
      scan_ = end_;
      if (!Fill()) return false;
      continue;
    }
    *line = std::string_view(data + begin_, length);
    *continuation = !atLineStart_;
    if (atLineStart_) ++lineNumber_;
    atLineStart_ = line->back() == '\n';
    begin_ += length;
    scan_ = begin_;
    consumed_ += length;
    return true;
  }
}

void MboxReader::Append(std::string_view bytes) {
  messageSize_ += bytes.size();
  if (messageSize_ > kMaxMessageBytes) {
    if (!message_.empty()) std::string().swap(message_);
    return;
  }
  message_.append(bytes);
}

MboxReader::Result MboxReader::Next(MboxMessage* message) {
  *message = MboxMessage{};
  if (!haveSeparator_) return error_.empty() ? Result::kEnd : Result::kError;
  message->line = separatorLine_;
  message->offset = separatorOffset_;
  message->hasDate = separatorHasDate_;
  message->received = separatorTicks_;
  haveSeparator_ = false;
  message_.clear();
  messageSize_ = 0;

  std::string pendingBlank;  // an empty line that may precede the next separator
  bool lastLineEnded = separatorComplete_;
  std::string_view line;
  bool continuation = false;
  while (NextLine(&line, &continuation)) {
    if (!continuation) {
      if (!pendingBlank.empty()) {
        if (IsSeparatorLine(line)) {
          haveSeparator_ = true;
          separatorLine_ = lineNumber_;
          separatorOffset_ = consumed_ - line.size();
          separatorComplete_ = line.back() == '\n';
          separatorHasDate_ = ParseSeparatorDate(line.substr(kFrom.size()), &separatorTicks_);
          break;
        }
        if (line.substr(0, kFrom.size()) == kFrom) ++textFromLines_;
        Append(pendingBlank);
        pendingBlank.clear();
      }
      if (IsBlank(line)) {
        pendingBlank.assign(line);
        lastLineEnded = true;
        continue;
      }
      if (line.front() == '>') {
        size_t quotes = line.find_first_not_of('>');
        if (quotes != std::string_view::npos && line.substr(quotes, kFrom.size()) == kFrom) {
          line.remove_prefix(1);
        }
      }
    }
    Append(line);
    lastLineEnded = line.back() == '\n';
  }
  if (!error_.empty()) return Result::kError;
  // At the end of the file a held empty line is the format's, not the
  // message's.
  if (!haveSeparator_) message->truncated = !lastLineEnded;
  message->size = messageSize_;
  message->tooLarge = messageSize_ > kMaxMessageBytes;
  message->bytes = message->tooLarge ? std::string_view() : std::string_view(message_);
  return Result::kMessage;
}

}  // namespace vorn_import
