// The plain GMime side of mime_speed: parses message files with GMime 3 alone
// and extracts what the body reader shows of each: the main text converted to
// UTF-8 (for a text root as UTF-16 and back, the way the reader gets it) and
// the attachments' file names. The main text is a text root, or in a
// multipart the first text part found, text/plain being preferred among
// alternatives; the attachments are the other leaves.
//
// Usage: mime_speed_gmime FOLDER COUNT ROUNDS OUTPUT
//   reads FOLDER/000000.eml .. COUNT - 1 into memory, parses all of them
//   ROUNDS times, prints "cpu_seconds wall_seconds" of the fastest round and
//   writes one line per message (a hash of its text and names) to OUTPUT.

#include <gmime/gmime.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "bench/bench_support.h"

namespace {

using vorn_bench::Hash;
using vorn_bench::ProcessCpuSeconds;
using vorn_bench::WallSeconds;

bool IsText(GMimeObject* part) {
  return GMIME_IS_TEXT_PART(part) &&
         g_ascii_strcasecmp(g_mime_object_get_disposition(part) ? g_mime_object_get_disposition(part)
                                                               : "",
                            "attachment") != 0;
}

// The text part shown for `object`, or null; collects the text parts shown
// as alternatives of it into `shown`.
GMimeObject* MainText(GMimeObject* object, std::vector<GMimeObject*>* shown) {
  if (IsText(object)) return object;
  if (!GMIME_IS_MULTIPART(object)) return nullptr;
  auto* multipart = GMIME_MULTIPART(object);
  int count = g_mime_multipart_get_count(multipart);
  GMimeContentType* type = g_mime_object_get_content_type(object);
  if (!g_mime_content_type_is_type(type, "multipart", "alternative")) {
    for (int i = 0; i < count; ++i) {
      if (GMimeObject* found = MainText(g_mime_multipart_get_part(multipart, i), shown)) {
        return found;
      }
    }
    return nullptr;
  }
  GMimeObject* best = nullptr;
  int bestRank = 3;
  for (int i = 0; i < count; ++i) {
    GMimeObject* found = MainText(g_mime_multipart_get_part(multipart, i), shown);
    if (!found) continue;
    shown->push_back(found);
    GMimeContentType* foundType = g_mime_object_get_content_type(found);
    int rank = g_mime_content_type_is_type(foundType, "text", "plain")  ? 0
               : g_mime_content_type_is_type(foundType, "text", "html") ? 1
                                                                       : 2;
    if (rank < bestRank) {
      best = found;
      bestRank = rank;
    }
  }
  return best;
}

void CollectLeaves(GMimeObject* object, std::vector<GMimeObject*>* leaves) {
  if (GMIME_IS_MULTIPART(object)) {
    auto* multipart = GMIME_MULTIPART(object);
    int count = g_mime_multipart_get_count(multipart);
    for (int i = 0; i < count; ++i) CollectLeaves(g_mime_multipart_get_part(multipart, i), leaves);
  } else {
    leaves->push_back(object);
  }
}

std::string BaseName(const char* name) {
  if (!name) return std::string();
  const char* slash = std::max(std::strrchr(name, '/'), std::strrchr(name, '\\'));
  return slash ? std::string(slash + 1) : std::string(name);
}

// The text of `part` in UTF-8; through UTF-16 and back when `roundTrip`.
std::string Text(GMimeObject* part, bool roundTrip) {
  char* text = g_mime_text_part_get_text(GMIME_TEXT_PART(part));
  if (!text) return std::string();
  std::string out;
  if (roundTrip) {
    glong units = 0;
    gunichar2* utf16 = g_utf8_to_utf16(text, -1, nullptr, &units, nullptr);
    if (utf16) {
      char* back = g_utf16_to_utf8(utf16, units, nullptr, nullptr, nullptr);
      if (back) out = back;
      g_free(back);
      g_free(utf16);
    }
  } else {
    out = text;
  }
  g_free(text);
  return out;
}

uint64_t Extract(const std::string& raw) {
  GMimeStream* stream =
      g_mime_stream_mem_new_with_buffer(raw.data(), static_cast<size_t>(raw.size()));
  GMimeParser* parser = g_mime_parser_new_with_stream(stream);
  GMimeMessage* message = g_mime_parser_construct_message(parser, nullptr);
  g_object_unref(parser);
  g_object_unref(stream);
  uint64_t h = vorn_bench::kHashStart;
  if (!message) return h;
  GMimeObject* root = g_mime_message_get_mime_part(message);
  if (root) {
    std::vector<GMimeObject*> shown;
    GMimeObject* main = MainText(root, &shown);
    h = Hash(h, main ? Text(main, main == root) : std::string());
    if (main) shown.push_back(main);
    std::vector<GMimeObject*> leaves;
    CollectLeaves(root, &leaves);
    for (GMimeObject* leaf : leaves) {
      if (std::find(shown.begin(), shown.end(), leaf) != shown.end()) continue;
      h = Hash(h, GMIME_IS_PART(leaf) ? BaseName(g_mime_part_get_filename(GMIME_PART(leaf)))
                                      : std::string());
    }
  }
  g_object_unref(message);
  return h;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 5) {
    std::fprintf(stderr, "usage: %s FOLDER COUNT ROUNDS OUTPUT\n", argv[0]);
    return 2;
  }
  const std::string folder = argv[1];
  const int count = std::atoi(argv[2]);
  const int rounds = std::max(1, std::atoi(argv[3]));
  std::vector<std::string> messages;
  for (int i = 0; i < count; ++i) {
    char name[32];
    std::snprintf(name, sizeof name, "/%06d.eml", i);
    std::ifstream file(folder + name, std::ios::binary);
    if (!file) {
      std::fprintf(stderr, "cannot read %s%s\n", folder.c_str(), name);
      return 1;
    }
    messages.emplace_back(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
  }
  g_mime_init();
  std::vector<uint64_t> hashes(messages.size());
  double bestCpu = 1e9;
  double bestWall = 1e9;
  for (int round = 0; round < rounds; ++round) {
    double cpu = ProcessCpuSeconds();
    double wall = WallSeconds();
    for (size_t i = 0; i < messages.size(); ++i) hashes[i] = Extract(messages[i]);
    bestCpu = std::min(bestCpu, ProcessCpuSeconds() - cpu);
    bestWall = std::min(bestWall, WallSeconds() - wall);
  }
  std::FILE* out = std::fopen(argv[4], "w");
  if (!out) return 1;
  for (uint64_t h : hashes) std::fprintf(out, "%016llx\n", static_cast<unsigned long long>(h));
  std::fclose(out);
  std::printf("%.6f %.6f\n", bestCpu, bestWall);
  g_mime_shutdown();
  return 0;
}
