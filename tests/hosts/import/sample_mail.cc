#include "tests/hosts/import/sample_mail.h"

#include <cstdio>

#include "platform/systime.h"

namespace import_test {
namespace {

constexpr const char* kWords[] = {"budget", "meeting", "draft",   "review",  "plan",
                                  "notes",  "garden",  "library", "invoice", "travel",
                                  "report", "lunch",   "release", "weekly",  "minutes"};
constexpr const char* kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                   "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

uint32_t Mix(uint32_t x) {
  x ^= x >> 16;
  x *= 0x7feb352dU;
  x ^= x >> 15;
  x *= 0x846ca68bU;
  x ^= x >> 16;
  return x;
}

const char* Word(uint32_t seed) { return kWords[seed % (sizeof(kWords) / sizeof(kWords[0]))]; }

}  // namespace

std::string GeneratedMessage(int index) {
  uint32_t seed = Mix(static_cast<uint32_t>(index) + 1);
  const char* eol = index % 7 == 3 ? "\r\n" : "\n";
  char line[256];
  std::string m;
  auto add = [&](const std::string& text) { m += text + eol; };
  std::snprintf(line, sizeof(line), "Return-Path: <sender%d@example.org>", index % 97);
  add(line);
  std::snprintf(line, sizeof(line), "From: Sender %d <sender%d@example.org>", index % 97,
                index % 97);
  add(line);
  add("To: Reader <reader@example.net>");
  std::snprintf(line, sizeof(line), "Subject: %s %s %d", Word(seed), Word(seed >> 8), index);
  add(line);
  std::snprintf(line, sizeof(line), "Date: %s, %d %s 2025 %02d:%02d:00 +0000", kDays[index % 7],
                1 + index % 28, kMonths[index % 12], index % 24, index % 60);
  add(line);
  std::snprintf(line, sizeof(line), "Message-ID: <generated.%d@example.org>", index);
  add(line);
  add("MIME-Version: 1.0");
  bool multipart = index % 10 == 9;
  if (multipart) {
    add("Content-Type: multipart/mixed; boundary=\"b" + std::to_string(index) + "\"");
    add("");
    add("--b" + std::to_string(index));
    add("Content-Type: text/plain; charset=utf-8");
    add("");
  } else {
    add("Content-Type: text/plain; charset=utf-8");
    add("");
  }
  int lines = 3 + static_cast<int>(seed % 40);
  for (int i = 0; i < lines; ++i) {
    uint32_t s = Mix(seed + static_cast<uint32_t>(i));
    std::string text;
    for (int w = 0; w < 8; ++w) text += std::string(w ? " " : "") + Word(s >> (w * 3));
    add(text);
  }
  if (index % 5 == 0) add("From the desk of the sender: a line an mbox file quotes.");
  if (index % 11 == 0) add(">From a quoted reply, quoted once more in the file.");
  if (index % 13 == 0) add(">>>From deep inside.");
  if (index % 23 == 0)
    add("Caf\xc3\xa9 cr\xc3\xa8me br\xc3\xbbl\xc3\xa9"
        "e and a stray \xff byte.");
  if (index % 97 == 0) add(std::string("a NUL \0 byte", 12));
  if (multipart) {
    add("");
    add("--b" + std::to_string(index));
    add("Content-Type: application/octet-stream; name=\"data.bin\"");
    add("Content-Disposition: attachment; filename=\"data.bin\"");
    add("Content-Transfer-Encoding: base64");
    add("");
    add("AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8gISIjJCUmJygpKissLS4v");
    add("--b" + std::to_string(index) + "--");
  }
  if (index % 17 == 0) add("");  // an empty last line of its own
  return m;
}

std::string GeneratedSeparator(int index, uint64_t* ticks) {
  int year = 2020 + index % 6;
  int month = 1 + index % 12;
  int day = 1 + index % 28;
  int hour = index % 24;
  int minute = (index / 24) % 60;
  int second = (index * 7) % 60;
  SYSTEMTIME fields{};
  fields.wYear = static_cast<WORD>(year);
  fields.wMonth = static_cast<WORD>(month);
  fields.wDay = static_cast<WORD>(day);
  fields.wHour = static_cast<WORD>(hour);
  fields.wMinute = static_cast<WORD>(minute);
  fields.wSecond = static_cast<WORD>(second);
  FILETIME time{};
  SystemTimeToFileTime(&fields, &time);
  *ticks = (static_cast<uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
  char line[128];
  std::snprintf(line, sizeof(line), "From sender%d@example.org %s %s %2d %02d:%02d:%02d %d",
                index % 97, kDays[(index + 3) % 7], kMonths[month - 1], day, hour, minute, second,
                year);
  return line;
}

std::string GeneratedMbox(int first, int count) {
  std::string mbox;
  for (int i = first; i < first + count; ++i) {
    uint64_t ticks = 0;
    std::string separator = GeneratedSeparator(i, &ticks);
    std::string message = GeneratedMessage(i);
    mbox += separator + "\n";
    size_t start = 0;
    while (start < message.size()) {
      size_t end = message.find('\n', start);
      end = end == std::string::npos ? message.size() : end + 1;
      size_t quotes = message.find_first_not_of('>', start);
      if (quotes < end && message.compare(quotes, 5, "From ") == 0) mbox += '>';
      mbox.append(message, start, end - start);
      start = end;
    }
    mbox += "\n";
  }
  return mbox;
}

}  // namespace import_test
