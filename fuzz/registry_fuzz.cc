// Feeds arbitrary bytes to the registry file's reader. Whatever it accepts
// must survive a trip through the writer: the canonical text reads back to
// the same tree and writes out the same again.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "runtime/registry_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  vorn_rt::RegistryTree tree;
  vorn_rt::ParseError error;
  if (!vorn_rt::ParseRegistryText(text, &tree, &error)) {
    if (error.line == 0 || error.message.empty()) std::abort();
    return 0;
  }
  const std::string canonical = vorn_rt::FormatRegistryText(tree);
  vorn_rt::RegistryTree again;
  if (!vorn_rt::ParseRegistryText(canonical, &again, &error)) std::abort();
  if (!again.Equals(tree)) std::abort();
  if (vorn_rt::FormatRegistryText(again) != canonical) std::abort();
  return 0;
}
