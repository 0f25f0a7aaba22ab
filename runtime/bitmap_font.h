// The built-in fixed-width bitmap font of every device context.
#pragma once

#include <cstdint>

constexpr int kCellWidth = 6;
constexpr int kCellHeight = 10;
constexpr int kGlyphWidth = 5;
constexpr int kGlyphRows = 9;

// The glyph of a character: kGlyphRows rows, the leftmost of kGlyphWidth
// pixels in bit 4. A box for characters outside printable ASCII.
const uint8_t* BuiltinGlyph(uint32_t codePoint);
