// What a bitmap DC drew, as pixels a host can hand on: copied out of the DC
// and encoded as PNG in memory (VornSaveDCAsPng writes the same PNG to a
// file).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/gdi.h"

namespace vorn_rt {

struct Pixels {
  int width = 0;
  int height = 0;
  std::vector<uint8_t> rgba;  // width * height * 4 bytes, top row first, alpha 255
};

// Copies the pixels of a DC made by VornCreateBitmapDC into *out. False, with
// *out unchanged, for any other handle or when out of memory.
VORN_API bool CopyDCPixels(HDC dc, Pixels* out);

// Encodes `pixels` as an 8-bit RGBA PNG into *png (replacing what it held).
// False, with *png empty or unchanged, for pixels whose size does not match
// their width and height, or when out of memory.
VORN_API bool EncodePng(const Pixels& pixels, std::string* png);

}  // namespace vorn_rt
