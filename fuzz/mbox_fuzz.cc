// The importer's readers of outside input: the mbox reader (fed the bytes as
// a file, read once in large chunks and once in tiny ones, which must give
// the same messages), separator dates, Maildir file names and the check
// that a piece of a file starts like a message.

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "hosts/import/maildir.h"
#include "hosts/import/mbox_reader.h"
#include "hosts/import/sources.h"

namespace {

struct Read {
  std::vector<std::string> messages;
  std::vector<uint64_t> lines;
  std::vector<bool> truncated;
};

Read ReadAll(const std::string& path, size_t chunk, size_t inputSize) {
  Read result;
  vorn_import::MboxReader reader(chunk);
  std::string error;
  if (!reader.Open(path, &error)) return result;
  vorn_import::MboxMessage message;
  uint64_t total = 0;
  while (reader.Next(&message) == vorn_import::MboxReader::Result::kMessage) {
    if (message.size != message.bytes.size() && !message.tooLarge) __builtin_trap();
    total += message.size;
    if (total > inputSize) __builtin_trap();
    result.messages.emplace_back(message.bytes);
    result.lines.push_back(message.line);
    result.truncated.push_back(message.truncated);
  }
  // Only the last message can be cut short.
  for (size_t i = 0; i + 1 < result.truncated.size(); ++i) {
    if (result.truncated[i]) __builtin_trap();
  }
  return result;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static int fd = memfd_create("mbox_fuzz", 0);
  if (fd < 0) return 0;
  if (ftruncate(fd, 0) != 0) return 0;
  if (size > 0 && pwrite(fd, data, size, 0) != static_cast<ssize_t>(size)) return 0;
  std::string path = "/proc/self/fd/" + std::to_string(fd);

  Read large = ReadAll(path, size_t{1} << 16, size);
  if (size <= 4096) {
    Read tiny = ReadAll(path, 3, size);
    if (tiny.messages != large.messages || tiny.lines != large.lines ||
        tiny.truncated != large.truncated) {
      __builtin_trap();
    }
  }

  std::string_view text(reinterpret_cast<const char*>(data), size);
  uint64_t ticks = 0;
  vorn_import::ParseSeparatorDate(text, &ticks);
  uint64_t seconds = 0;
  vorn_import::MaildirTimeFromName(text, &seconds);
  vorn_host::MaildirTicksFromName(text, &ticks);
  vorn_import::MaildirSeenFromName(text);
  vorn_import::CheckMessageStart(text);
  return 0;
}
