#include "hosts/common/maildir_name.h"

#include <cinttypes>
#include <cstdio>

namespace vorn_host {
namespace {

constexpr int64_t kLastUnixSecond = 253402300799;  // 9999-12-31 23:59:59

bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsLowerHex(char c) { return IsDigit(c) || (c >= 'a' && c <= 'f'); }

}  // namespace

bool MaildirTimeFromName(std::string_view name, uint64_t* seconds) {
  size_t digits = 0;
  while (digits < name.size() && IsDigit(name[digits])) ++digits;
  if (digits == 0 || digits > 12 || digits >= name.size() || name[digits] != '.') return false;
  uint64_t value = 0;
  for (size_t i = 0; i < digits; ++i) value = value * 10 + static_cast<uint64_t>(name[i] - '0');
  // A number beyond the year 9999 is no delivery time.
  if (value > static_cast<uint64_t>(kLastUnixSecond)) return false;
  *seconds = value;
  return true;
}

bool MaildirTicksFromName(std::string_view name, uint64_t* ticks) {
  uint64_t seconds = 0;
  if (!MaildirTimeFromName(name, &seconds)) return false;
  std::string_view unique = name.substr(name.find('.') + 1);
  unique = unique.substr(0, unique.find_first_of(".:!"));
  uint64_t fraction = 0;
  size_t i = 0;
  while (i < unique.size()) {
    char field = unique[i++];
    size_t start = i;
    while (i < unique.size() && IsLowerHex(unique[i])) ++i;
    std::string_view value = unique.substr(start, i - start);
    bool decimal = !value.empty();
    for (char c : value) decimal = decimal && IsDigit(c);
    if (field == 'T' && decimal && value.size() == 7) {
      fraction = 0;
      for (char c : value) fraction = fraction * 10 + static_cast<uint64_t>(c - '0');
    }
  }
  *ticks = TicksFromUnixSeconds(static_cast<int64_t>(seconds)) + fraction;
  return true;
}

bool MaildirSeenFromName(std::string_view name) {
  size_t info = name.rfind(":2,");
  if (info == std::string_view::npos) info = name.rfind("!2,");
  if (info == std::string_view::npos) return false;
  return name.substr(info + 3).find('S') != std::string_view::npos;
}

std::string MaildirBaseName(uint64_t ticks, uint64_t hash) {
  uint32_t nanoseconds = 0;
  int64_t seconds = UnixSecondsFromTicks(ticks, &nanoseconds);
  char name[96];
  if (seconds < 0) {
    std::snprintf(name, sizeof(name), "H%016" PRIx64 ".vorn", hash);
  } else {
    std::snprintf(name, sizeof(name), "%" PRId64 ".T%07" PRIu32 "H%016" PRIx64 ".vorn", seconds,
                  nanoseconds / 100, hash);
  }
  return name;
}

}  // namespace vorn_host
