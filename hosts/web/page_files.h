// The page's files, built into vornweb (generated from page/ at build time
// by embed_page.cmake). The table and the bytes are constant and live as
// long as the program.
#pragma once

#include <cstddef>

namespace vornweb {

struct PageFile {
  const char* path;          // "/index.html"
  const char* contentType;   // "text/html; charset=utf-8"
  const unsigned char* data;
  size_t size;
};

extern const PageFile kPageFiles[];
extern const size_t kPageFileCount;

}  // namespace vornweb
