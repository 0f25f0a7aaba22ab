#include "hosts/export/mbox_writer.h"

#include <cstdio>
#include <cstring>

#include "platform/systime.h"

namespace vorn_export {
namespace {

constexpr std::string_view kFrom = "From ";
constexpr const char* kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                   "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

}  // namespace

std::string MboxSeparator(uint64_t ticks) {
  FILETIME time{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
  SYSTEMTIME fields{};
  if (!FileTimeToSystemTime(&time, &fields) || fields.wMonth < 1 || fields.wMonth > 12 ||
      fields.wDayOfWeek > 6) {
    fields = SYSTEMTIME{1601, 1, 1, 1, 0, 0, 0, 0};
  }
  char line[80];
  std::snprintf(line, sizeof(line), "From MAILER-DAEMON %s %s %2u %02u:%02u:%02u %u\n",
                kDays[fields.wDayOfWeek], kMonths[fields.wMonth - 1], fields.wDay, fields.wHour,
                fields.wMinute, fields.wSecond, fields.wYear);
  return line;
}

void MboxQuoter::Begin() {
  atLineStart_ = true;
  quotes_ = 0;
  matched_ = 0;
  last_ = '\n';
  empty_ = true;
}

void MboxQuoter::Release(std::string* out) {
  out->append(quotes_, '>');
  out->append(kFrom.substr(0, matched_));
  quotes_ = 0;
  matched_ = 0;
  atLineStart_ = false;
}

void MboxQuoter::Add(std::string_view piece, std::string* out) {
  if (piece.empty()) return;
  empty_ = false;
  last_ = piece.back();
  size_t i = 0;
  while (i < piece.size()) {
    if (!atLineStart_) {
      // The rest of the line goes out as it is.
      const void* end = std::memchr(piece.data() + i, '\n', piece.size() - i);
      size_t stop = end ? static_cast<size_t>(static_cast<const char*>(end) - piece.data()) + 1
                        : piece.size();
      out->append(piece.substr(i, stop - i));
      i = stop;
      atLineStart_ = end != nullptr;
      continue;
    }
    char c = piece[i];
    if (matched_ == 0 && c == '>') {
      ++quotes_;
      ++i;
    } else if (c == kFrom[matched_]) {
      ++i;
      if (++matched_ == kFrom.size()) {
        out->append(quotes_ + 1, '>');
        out->append(kFrom);
        quotes_ = 0;
        matched_ = 0;
        atLineStart_ = false;
      }
    } else {
      // Not a line to quote: what was held goes out, and the line goes on
      // from this byte (which may end it).
      Release(out);
    }
  }
}

void MboxQuoter::End(std::string* out) {
  if (quotes_ > 0 || matched_ > 0) Release(out);
  if (empty_ || last_ != '\n') out->push_back('\n');
  out->push_back('\n');
  Begin();
}

}  // namespace vorn_export
