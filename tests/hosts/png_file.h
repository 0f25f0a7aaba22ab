// Reading a PNG file back, for tests of pictures the host writes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vorn_test {

struct Picture {
  int width = 0;
  int height = 0;
  std::vector<uint8_t> rgba;  // width * height * 4 bytes, rows top down

  // The pixel at (x, y) as 0xRRGGBBAA.
  uint32_t At(int x, int y) const;
};

// Reads `path`; false when it is not a readable PNG.
bool ReadPng(const std::string& path, Picture* picture);

}  // namespace vorn_test
