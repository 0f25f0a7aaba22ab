#include <gtest/gtest.h>
#include <png.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "platform/gdi.h"
#include "runtime/pixels.h"
#include "tests/support/recording_dc.h"
#include "tests/support/temp_root.h"

namespace {

std::string Recording(HDC dc) {
  std::string text(static_cast<size_t>(VornGetRecording(dc, nullptr, 0)) + 1, '\0');
  VornGetRecording(dc, text.data(), static_cast<int>(text.size()));
  text.pop_back();
  return text;
}

TEST(Gdi, RefusesUnknownDeletedAndSelectedHandles) {
  HDC dc = VornCreateBitmapDC(10, 10, RGB(255, 255, 255));
  ASSERT_NE(dc, nullptr);
  HBRUSH brush = CreateSolidBrush(RGB(1, 2, 3));
  RECT r{0, 0, 5, 5};
  EXPECT_NE(FillRect(dc, &r, brush), 0);
  // Selected: deleting is refused and the brush stays usable.
  EXPECT_EQ(SelectObject(dc, brush), nullptr);  // no brush was selected before
  EXPECT_FALSE(DeleteObject(brush));
  EXPECT_NE(FillRect(dc, &r, brush), 0);
  EXPECT_EQ(SelectObject(dc, GetStockObject(BLACK_BRUSH)), brush);
  EXPECT_TRUE(DeleteObject(brush));
  // Deleted: every use is refused, nothing is drawn.
  r = RECT{5, 5, 10, 10};
  EXPECT_EQ(FillRect(dc, &r, brush), 0);
  EXPECT_FALSE(DeleteObject(brush));
  EXPECT_EQ(SelectObject(dc, brush), nullptr);
  EXPECT_EQ(GetPixel(dc, 7, 7), RGB(255, 255, 255));
  HGDIOBJ bogus = reinterpret_cast<HGDIOBJ>(0xDEAD0);
  EXPECT_EQ(FillRect(dc, &r, static_cast<HBRUSH>(bogus)), 0);
  EXPECT_FALSE(DeleteObject(bogus));
  EXPECT_EQ(SetBkMode(reinterpret_cast<HDC>(bogus), TRANSPARENT), 0);
  EXPECT_EQ(SetBkMode(dc, 7), 0);
  EXPECT_TRUE(DeleteObject(GetStockObject(WHITE_BRUSH)));  // stock: a no-op
  EXPECT_NE(FillRect(dc, &r, static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH))), 0);
  EXPECT_TRUE(DeleteDC(dc));
  EXPECT_FALSE(DeleteDC(dc));
  EXPECT_EQ(GetPixel(dc, 0, 0), CLR_INVALID);
}

TEST(Gdi, RecordsCallsAndObjectsOfItsThreadInOrder) {
  HDC dc = VornCreateRecordingDC();
  ASSERT_NE(dc, nullptr);
  HBRUSH other = CreateSolidBrush(RGB(0, 0, 255));
  SetBkMode(dc, TRANSPARENT);
  HBRUSH brush = CreateSolidBrush(RGB(0, 0, 0));
  RECT r{3, 4, 50, 60};
  FillRect(dc, &r, brush);
  SetTextColor(dc, RGB(255, 0, 0));
  TextOutA(dc, 3, 4, "say \"hi\"", 8);
  DeleteObject(brush);
  DeleteObject(other);
  EXPECT_EQ(Recording(dc),
            "CreateSolidBrush 0xff0000 -> #1\n"
            "SetBkMode 1\n"
            "CreateSolidBrush 0x000000 -> #2\n"
            "FillRect 3 4 50 60 #2 0x000000\n"
            "SetTextColor 0x0000ff\n"
            "TextOutA 3 4 \"say \\\"hi\\\"\"\n"
            "DeleteObject #2\n"
            "DeleteObject #1\n");
  EXPECT_EQ(GetPixel(dc, 0, 0), CLR_INVALID);
  DeleteDC(dc);
  HDC pixels = VornCreateBitmapDC(1, 1, 0);
  EXPECT_EQ(VornGetRecording(pixels, nullptr, 0), -1);
  DeleteDC(pixels);
}

// Which pixels of a rectangle carry `color`.
int Count(HDC dc, RECT r, COLORREF color) {
  int n = 0;
  for (LONG y = r.top; y < r.bottom; ++y) {
    for (LONG x = r.left; x < r.right; ++x) n += GetPixel(dc, x, y) == color;
  }
  return n;
}

TEST(Gdi, DrawsTextInFixedCellsAndClipsToTheSurface) {
  HDC dc = VornCreateBitmapDC(40, 20, RGB(0, 0, 0));
  SetBkMode(dc, TRANSPARENT);
  SetTextColor(dc, RGB(255, 0, 0));
  ASSERT_TRUE(TextOutA(dc, 2, 3, "VI", 2));
  // 'V' starts with a pixel at its cell's top-left; 'I' in the next cell.
  EXPECT_EQ(GetPixel(dc, 2, 3), RGB(255, 0, 0));
  EXPECT_EQ(GetPixel(dc, 1, 3), RGB(0, 0, 0));
  EXPECT_EQ(Count(dc, RECT{8, 3, 14, 13}, RGB(255, 0, 0)), 3 + 5 + 3);
  EXPECT_EQ(Count(dc, RECT{0, 0, 2, 20}, RGB(255, 0, 0)), 0);
  SIZE size{};
  ASSERT_TRUE(GetTextExtentPoint32A(dc, "\xC3\xA9t\xC3\xA9", 5, &size));
  EXPECT_EQ(size.cx, 18);  // one cell per character, not per byte
  EXPECT_EQ(size.cy, 10);
  // Drawing past the edges neither fails nor writes outside.
  EXPECT_TRUE(TextOutA(dc, -3, 15, "WWWWWWWWWW", 10));
  EXPECT_TRUE(TextOutA(dc, 1000, -1000, "x", 1));
  // An opaque background fills the whole cell.
  SetBkMode(dc, OPAQUE);
  SetBkColor(dc, RGB(0, 255, 0));
  TextOutA(dc, 30, 0, " ", 1);
  EXPECT_EQ(Count(dc, RECT{30, 0, 36, 10}, RGB(0, 255, 0)), 60);
  DeleteDC(dc);
}

TEST(Gdi, WrapsTextAtSpacesWithinItsRectangle) {
  HDC dc = VornCreateRecordingDC();
  RECT r{0, 0, 60, 100};  // ten cells wide
  RECT calc = r;
  // "one two" / "three four" / "five": a line may fill the width exactly.
  EXPECT_EQ(DrawTextA(dc, "one two three four five", -1, &calc, DT_WORDBREAK | DT_CALCRECT),
            30);
  EXPECT_EQ(calc.right, 60);
  calc = r;
  EXPECT_EQ(DrawTextA(dc, "abcdefghijklmnop", -1, &calc, DT_WORDBREAK | DT_CALCRECT), 20);
  EXPECT_EQ(DrawTextA(dc, "one two", -1, &r, DT_LEFT), 10);
  DeleteDC(dc);
}

TEST(Gdi, WritesTheSurfaceAsPng) {
  vorn_test::TempRoot root;
  HDC dc = VornCreateBitmapDC(7, 5, RGB(10, 20, 30));
  HBRUSH brush = CreateSolidBrush(RGB(200, 100, 50));
  RECT r{1, 1, 3, 4};
  FillRect(dc, &r, brush);
  DeleteObject(brush);
  const std::string path = root.path() + "/out.png";
  ASSERT_TRUE(VornSaveDCAsPng(dc, path.c_str()));
  EXPECT_FALSE(VornSaveDCAsPng(dc, (root.path() + "/missing/out.png").c_str()));

  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  ASSERT_TRUE(png_image_begin_read_from_file(&image, path.c_str()));
  image.format = PNG_FORMAT_RGBA;
  std::vector<BYTE> pixels(PNG_IMAGE_SIZE(image));
  ASSERT_TRUE(png_image_finish_read(&image, nullptr, pixels.data(), 0, nullptr));
  ASSERT_EQ(image.width, 7u);
  ASSERT_EQ(image.height, 5u);
  for (int y = 0; y < 5; ++y) {
    for (int x = 0; x < 7; ++x) {
      const BYTE* p = &pixels[(static_cast<size_t>(y) * 7 + x) * 4];
      EXPECT_EQ(RGB(p[0], p[1], p[2]), GetPixel(dc, x, y)) << x << "," << y;
      EXPECT_EQ(p[3], 255);
    }
  }
  EXPECT_EQ(GetPixel(dc, 2, 3), RGB(200, 100, 50));
  EXPECT_EQ(GetPixel(dc, 3, 3), RGB(10, 20, 30));

  // The same pixels copied out, and the same PNG made in memory.
  vorn_rt::Pixels copied;
  ASSERT_TRUE(vorn_rt::CopyDCPixels(dc, &copied));
  EXPECT_EQ(copied.width, 7);
  EXPECT_EQ(copied.rgba, pixels);
  std::string png;
  ASSERT_TRUE(vorn_rt::EncodePng(copied, &png));
  std::ifstream file(path, std::ios::binary);
  EXPECT_EQ(png, std::string(std::istreambuf_iterator<char>(file), {}));
  DeleteDC(dc);

  // Nothing to copy from a deleted DC; no PNG of pixels that do not fill
  // their size.
  EXPECT_FALSE(vorn_rt::CopyDCPixels(dc, &copied));
  copied.rgba.pop_back();
  EXPECT_FALSE(vorn_rt::EncodePng(copied, &png));
}

}  // namespace
