#include "services/mime/header_text.h"

#include <glib.h>

#include <vector>

#include "runtime/text.h"
#include "services/mime/limits.h"
#include "services/mime/text_codec.h"

namespace vorn_mime {
namespace {

bool IsLinearBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

bool IsAlpha(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

using vorn_rt::HexDigitValue;

int Base64Value(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

// A base64 payload of one word; its padding ends it, stray characters are
// skipped.
std::string DecodeB(std::string_view payload) {
  std::string out;
  uint32_t bits = 0;
  int count = 0;
  for (char c : payload) {
    if (c == '=') break;
    int v = Base64Value(c);
    if (v < 0) continue;
    bits = (bits << 6) | static_cast<uint32_t>(v);
    count += 6;
    if (count >= 8) {
      count -= 8;
      out.push_back(static_cast<char>((bits >> count) & 0xFF));
    }
  }
  return out;
}

std::string DecodeQ(std::string_view payload) {
  std::string out;
  for (size_t i = 0; i < payload.size(); ++i) {
    char c = payload[i];
    if (c == '_') {
      out.push_back(' ');
    } else if (c == '=' && i + 2 < payload.size() && HexDigitValue(payload[i + 1]) >= 0 &&
               HexDigitValue(payload[i + 2]) >= 0) {
      out.push_back(static_cast<char>(HexDigitValue(payload[i + 1]) * 16 + HexDigitValue(payload[i + 2])));
      i += 2;
    } else {
      out.push_back(c);
    }
  }
  return out;
}

struct EncodedWord {
  size_t end = 0;       // one past its closing "?="
  std::string charset;  // lower case, without an RFC 2231 language
  std::string bytes;    // the decoded payload
};

// Reads the encoded word that starts at value[at], if one does. Every scan
// stops at the next '?' or blank, so trying each "=?" of a field costs time
// in proportion to its length.
bool ReadEncodedWord(std::string_view value, size_t at, EncodedWord* word) {
  if (value.compare(at, 2, "=?") != 0) return false;
  size_t charsetEnd = at + 2;
  while (charsetEnd < value.size() && value[charsetEnd] != '?') {
    char c = value[charsetEnd];
    if (IsLinearBlank(c) || c == '=') return false;
    ++charsetEnd;
  }
  if (charsetEnd == at + 2 || charsetEnd + 3 > value.size() || value[charsetEnd + 2] != '?') {
    return false;
  }
  char encoding = value[charsetEnd + 1];
  if (encoding != 'B' && encoding != 'b' && encoding != 'Q' && encoding != 'q') return false;
  size_t payloadStart = charsetEnd + 3;
  size_t close = payloadStart;
  while (close < value.size() && value[close] != '?') {
    if (IsLinearBlank(value[close])) return false;
    ++close;
  }
  if (close + 1 >= value.size() || value[close + 1] != '=') return false;
  std::string_view charset = value.substr(at + 2, charsetEnd - at - 2);
  std::string_view payload = value.substr(payloadStart, close - payloadStart);
  word->end = close + 2;
  word->charset = vorn_rt::AsciiLowered(charset.substr(0, charset.find('*')));
  word->bytes = encoding == 'B' || encoding == 'b' ? DecodeB(payload) : DecodeQ(payload);
  return true;
}

// The text of one run of adjacent words, as one UTF-8 encoded word ("" when
// the run decodes to nothing).
std::string RewrittenRun(const std::vector<EncodedWord>& run) {
  std::string text;
  size_t i = 0;
  while (i < run.size()) {
    std::string bytes = run[i].bytes;
    size_t next = i + 1;
    while (next < run.size() && run[next].charset == run[i].charset) bytes += run[next++].bytes;
    text += DecodeText(bytes, run[i].charset, kMaxDecodedBytes);
    i = next;
  }
  if (text.empty()) return std::string();
  gchar* encoded = g_base64_encode(reinterpret_cast<const guchar*>(text.data()), text.size());
  std::string word = std::string("=?utf-8?b?") + encoded + "?=";
  g_free(encoded);
  return word;
}

// --- Dates ---

class DateScanner {
 public:
  explicit DateScanner(std::string_view text) : text_(text) {}

  // Skips blanks and (nested) comments.
  void SkipSpace() {
    while (at_ < text_.size()) {
      char c = text_[at_];
      if (IsLinearBlank(c)) {
        ++at_;
      } else if (c == '(') {
        int depth = 0;
        while (at_ < text_.size()) {
          char d = text_[at_++];
          if (d == '\\' && at_ < text_.size()) {
            ++at_;
          } else if (d == '(') {
            ++depth;
          } else if (d == ')' && --depth == 0) {
            break;
          }
        }
      } else {
        return;
      }
    }
  }

  bool Accept(char c) {
    SkipSpace();
    if (at_ < text_.size() && text_[at_] == c) {
      ++at_;
      return true;
    }
    return false;
  }

  // A run of digits; `digits` gets its length. At most nine are taken.
  bool Number(int64_t* value, size_t* digits) {
    SkipSpace();
    size_t start = at_;
    int64_t v = 0;
    while (at_ < text_.size() && IsDigit(text_[at_])) {
      if (at_ - start >= 9) return false;
      v = v * 10 + (text_[at_++] - '0');
    }
    *digits = at_ - start;
    *value = v;
    return *digits > 0;
  }

  std::string Word() {
    SkipSpace();
    size_t start = at_;
    while (at_ < text_.size() && IsAlpha(text_[at_])) ++at_;
    return vorn_rt::AsciiLowered(text_.substr(start, at_ - start));
  }

  bool PeekAlpha() {
    SkipSpace();
    return at_ < text_.size() && IsAlpha(text_[at_]);
  }

  bool PeekSign() {
    SkipSpace();
    return at_ < text_.size() && (text_[at_] == '+' || text_[at_] == '-');
  }

  char Next() { return at_ < text_.size() ? text_[at_++] : '\0'; }

 private:
  std::string_view text_;
  size_t at_ = 0;
};

int MonthOf(const std::string& word) {
  static constexpr const char* kMonths[] = {"jan", "feb", "mar", "apr", "may", "jun",
                                            "jul", "aug", "sep", "oct", "nov", "dec"};
  if (word.size() < 3) return 0;
  for (int m = 0; m < 12; ++m) {
    if (word.compare(0, 3, kMonths[m]) == 0) return m + 1;
  }
  return 0;
}

bool IsLeap(int64_t y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

int DaysInMonth(int64_t year, int month) {
  static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return month == 2 && IsLeap(year) ? 29 : kDays[month - 1];
}

// Days from 1601-01-01 to the given date of the proleptic Gregorian
// calendar (year >= 1600; negative within 1600, a leap year).
int64_t DaysSince1601(int64_t year, int month, int day) {
  int64_t y = year - 1601;
  int64_t days = year == 1600 ? -366 : y * 365 + y / 4 - y / 100 + y / 400;
  for (int m = 1; m < month; ++m) days += DaysInMonth(year, m);
  return days + day - 1;
}

// Minutes east of UTC for a zone name; any name not listed is UTC.
int ZoneNameOffset(const std::string& name) {
  struct Zone {
    const char* name;
    int minutes;
  };
  static constexpr Zone kZones[] = {{"est", -300}, {"edt", -240}, {"cst", -360}, {"cdt", -300},
                                    {"mst", -420}, {"mdt", -360}, {"pst", -480}, {"pdt", -420}};
  for (const Zone& zone : kZones) {
    if (name == zone.name) return zone.minutes;
  }
  return 0;
}

}  // namespace

std::string MergeEncodedWords(std::string_view value) {
  std::string out;
  out.reserve(value.size());
  size_t i = 0;
  while (i < value.size()) {
    EncodedWord word;
    if (!ReadEncodedWord(value, i, &word)) {
      out.push_back(value[i++]);
      continue;
    }
    std::vector<EncodedWord> run;
    size_t end = word.end;
    run.push_back(std::move(word));
    for (;;) {
      size_t next = end;
      while (next < value.size() && IsLinearBlank(value[next])) ++next;
      EncodedWord following;
      if (next == end || !ReadEncodedWord(value, next, &following)) break;
      end = following.end;
      run.push_back(std::move(following));
    }
    out += RewrittenRun(run);
    i = end;
  }
  return out;
}

DateReading ReadDateTime(std::string_view text, uint64_t* ticks) {
  DateScanner scan(text);
  if (scan.PeekAlpha()) {
    scan.Word();  // the day of the week, not checked
    scan.Accept(',');
  }
  int64_t day = 0, year = 0, hour = 0, minute = 0, second = 0;
  size_t digits = 0, yearDigits = 0;
  if (!scan.Number(&day, &digits) || digits > 2) return DateReading::kNoDate;
  int month = MonthOf(scan.Word());
  if (month == 0) return DateReading::kNoDate;
  if (!scan.Number(&year, &yearDigits)) return DateReading::kNoDate;
  if (!scan.Number(&hour, &digits) || digits > 2 || !scan.Accept(':') ||
      !scan.Number(&minute, &digits) || digits > 2) {
    return DateReading::kNoDate;
  }
  if (scan.Accept(':') && (!scan.Number(&second, &digits) || digits > 2)) {
    return DateReading::kNoDate;
  }
  int zoneMinutes = 0;
  if (scan.PeekSign()) {
    int sign = scan.Next() == '-' ? -1 : 1;
    int64_t zone = 0;
    if (!scan.Number(&zone, &digits) || digits != 4) return DateReading::kNoDate;
    if (zone % 100 > 59) return DateReading::kNoDate;
    zoneMinutes = sign * static_cast<int>(zone / 100 * 60 + zone % 100);
  } else if (scan.PeekAlpha()) {
    zoneMinutes = ZoneNameOffset(scan.Word());
  }

  if (yearDigits <= 2) {
    year += year < 50 ? 2000 : 1900;
  } else if (yearDigits == 3) {
    year += 1900;
  }
  if (hour > 23 || minute > 59 || second > 60) return DateReading::kNoDate;
  if (day < 1 || day > DaysInMonth(year, month)) return DateReading::kNoDate;

  // The largest FILETIME, 0x7FFFFFFFFFFFFFFF, falls in the year 30828; a
  // zone may move an instant of the year before or after into range.
  constexpr int64_t kLastSecond = INT64_MAX / static_cast<int64_t>(vorn_rt::kTicksPerSecond);
  if (year < 1600 || year > 30829) return DateReading::kOutOfRange;
  int64_t seconds = DaysSince1601(year, month, static_cast<int>(day)) * 86400 + hour * 3600 +
                    minute * 60 + second - int64_t{zoneMinutes} * 60;
  if (seconds < 0 || seconds > kLastSecond) return DateReading::kOutOfRange;
  *ticks = static_cast<uint64_t>(seconds) * vorn_rt::kTicksPerSecond;
  return DateReading::kDate;
}

}  // namespace vorn_mime
