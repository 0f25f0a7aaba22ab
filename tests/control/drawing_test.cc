#include <gtest/gtest.h>

#include <string>

#include "control/identifiers.h"
#include "control/resources.h"
#include "platform/dialog.h"
#include "tests/control/control_test_support.h"
#include "tests/support/recording_dc.h"
#include "tests/support/temp_root.h"

namespace {

using namespace control_test;

std::string Recording(HDC dc) {
  std::string text(static_cast<size_t>(VornGetRecording(dc, nullptr, 0)) + 1, '\0');
  VornGetRecording(dc, text.data(), static_cast<int>(text.size()));
  text.pop_back();
  return text;
}

HRESULT DrawControl(IDispatch* control, HDC dc, RECTL bounds) {
  ComPtr<IViewObject> view;
  ComPtr<IDispatch>(control).As(&view);
  RECTL invalid{-1000, -1000, -999, -999};  // never used
  return view->Draw(DVASPECT_CONTENT, -1, nullptr, nullptr, nullptr, dc, &bounds, &invalid,
                    nullptr, 0);
}

TEST(Drawing, EachPassIsTheFiveStepsAtTheBoundsTopLeft) {
  ComPtr<IDispatch> control = NewControl();
  const RECTL bounds[] = {{0, 0, 200, 40}, {0, 0, 2000, 900}, {0, 0, 5, 3}, {37, 11, 90, 20}};
  for (const RECTL& b : bounds) {
    HDC dc = VornCreateRecordingDC();
    ASSERT_EQ(DrawControl(control.Get(), dc, b), S_OK);
    ASSERT_EQ(DrawControl(control.Get(), dc, b), S_OK);  // a second pass, a second brush
    const std::string pass = [&](int brush) {
      const std::string r = std::to_string(b.left) + " " + std::to_string(b.top);
      const std::string n = "#" + std::to_string(brush);
      return "SetBkMode 1\n"
             "CreateSolidBrush 0x000000 -> " + n + "\n"
             "FillRect " + r + " " + std::to_string(b.right) + " " + std::to_string(b.bottom) +
             " " + n + " 0x000000\n"
             "SetTextColor 0x0000ff\n"
             "TextOutA " + r + " \"VornOutlookExpress\"\n"
             "DeleteObject " + n + "\n";
    }(1) + [&] {
      const std::string r = std::to_string(b.left) + " " + std::to_string(b.top);
      return "SetBkMode 1\n"
             "CreateSolidBrush 0x000000 -> #2\n"
             "FillRect " + r + " " + std::to_string(b.right) + " " + std::to_string(b.bottom) +
             " #2 0x000000\n"
             "SetTextColor 0x0000ff\n"
             "TextOutA " + r + " \"VornOutlookExpress\"\n"
             "DeleteObject #2\n";
    }();
    EXPECT_EQ(Recording(dc), pass);
    DeleteDC(dc);
  }
  HDC dc = VornCreateRecordingDC();
  RECTL b{0, 0, 1, 1};
  ComPtr<IViewObject> view;
  ASSERT_EQ(control.As(&view), S_OK);
  EXPECT_EQ(view->Draw(2, -1, nullptr, nullptr, nullptr, dc, &b, nullptr, nullptr, 0),
            DV_E_DVASPECT);
  EXPECT_EQ(view->Draw(DVASPECT_CONTENT, -1, nullptr, nullptr, nullptr, dc, nullptr, nullptr,
                       nullptr, 0),
            E_INVALIDARG);
  EXPECT_EQ(Recording(dc), "");
  DeleteDC(dc);
  EXPECT_EQ(DrawControl(control.Get(), reinterpret_cast<HDC>(0x1234), b), E_INVALIDARG);
}

int Count(HDC dc, RECT r, COLORREF color) {
  int n = 0;
  for (LONG y = r.top; y < r.bottom; ++y) {
    for (LONG x = r.left; x < r.right; ++x) n += GetPixel(dc, x, y) == color;
  }
  return n;
}

TEST(Drawing, PngOfTheControlIsBlackWithRedTextAtItsTopLeft) {
  vorn_test::TempRoot root;
  ComPtr<IDispatch> control = NewControl();
  const COLORREF white = RGB(255, 255, 255), black = RGB(0, 0, 0), red = RGB(255, 0, 0);
  HDC dc = VornCreateBitmapDC(260, 80, white);
  ASSERT_EQ(DrawControl(control.Get(), dc, RECTL{30, 20, 230, 60}), S_OK);
  ASSERT_TRUE(VornSaveDCAsPng(dc, (root.path() + "/control.png").c_str()));
  // Outside the bounds nothing changed.
  EXPECT_EQ(Count(dc, RECT{0, 0, 260, 20}, white), 260 * 20);
  EXPECT_EQ(Count(dc, RECT{0, 60, 260, 80}, white), 260 * 20);
  EXPECT_EQ(Count(dc, RECT{0, 20, 30, 60}, white), 30 * 40);
  EXPECT_EQ(Count(dc, RECT{230, 20, 260, 60}, white), 30 * 40);
  // Inside: black and red only; the label's 18 cells from the top-left
  // corner, nothing red beyond them or below the first text row.
  const int label = 18 * 6;
  EXPECT_EQ(Count(dc, RECT{30, 20, 230, 60}, black) + Count(dc, RECT{30, 20, 230, 60}, red),
            200 * 40);
  EXPECT_EQ(GetPixel(dc, 30, 20), red);  // the V's top-left pixel
  EXPECT_GT(Count(dc, RECT{30, 20, 30 + label, 30}, red), 100);
  EXPECT_EQ(Count(dc, RECT{30 + label, 20, 230, 60}, red), 0);
  EXPECT_EQ(Count(dc, RECT{30, 30, 230, 60}, red), 0);
  DeleteDC(dc);

  // Small bounds: the label is not scaled, it runs on past them.
  dc = VornCreateBitmapDC(200, 40, white);
  ASSERT_EQ(DrawControl(control.Get(), dc, RECTL{0, 0, 20, 5}), S_OK);
  EXPECT_EQ(GetPixel(dc, 0, 0), red);
  EXPECT_GT(Count(dc, RECT{20, 0, label, 10}, red), 50);
  EXPECT_EQ(Count(dc, RECT{0, 0, 20, 5}, white), 0);
  DeleteDC(dc);
}

TEST(Dialogs, PngsShowTheTextsAtTheirPositions) {
  vorn_test::TempRoot root;
  const COLORREF face = RGB(192, 192, 192), black = RGB(0, 0, 0);
  HMODULE module = ControlResourceModule();
  SIZE size{};
  ASSERT_TRUE(VornGetDialogSize(module, MAKEINTRESOURCEA(IDD_ABOUTBOX_VORNOUTLOOKEXPRESS), &size));
  EXPECT_EQ(size.cx, 520);
  EXPECT_EQ(size.cy, 110 + kDialogCaptionHeight);
  HDC dc = VornCreateBitmapDC(size.cx, size.cy, RGB(1, 2, 3));
  ASSERT_TRUE(VornDrawDialog(module, MAKEINTRESOURCEA(IDD_ABOUTBOX_VORNOUTLOOKEXPRESS), dc, 0, 0));
  const int top = kDialogCaptionHeight;
  // The caption bar, white text on blue.
  EXPECT_GT(Count(dc, RECT{3, 2, 3 + 42 * 6, 12}, RGB(255, 255, 255)), 200);
  // The version line at (40, 10) units, the notice at (40, 25): text in
  // their first text row, face colour just above.
  EXPECT_GT(Count(dc, RECT{80, top + 20, 80 + 49 * 6, top + 30}, black), 300);
  EXPECT_EQ(Count(dc, RECT{80, top + 14, 80 + 49 * 6, top + 20}, black), 0);
  EXPECT_GT(Count(dc, RECT{80, top + 50, 80 + 20 * 6, top + 60}, black), 100);
  // The icon at (10, 10) units: its black outline's top row.
  EXPECT_EQ(Count(dc, RECT{21, top + 23, 35, top + 24}, black), 14);
  // The OK button at (221, 7) units, 32 x 14: its frame and its label.
  EXPECT_EQ(GetPixel(dc, 442, top + 14), black);
  EXPECT_EQ(GetPixel(dc, 442 + 63, top + 14 + 27), black);
  EXPECT_GT(Count(dc, RECT{444, top + 16, 504, top + 40}, black), 20);
  DeleteDC(dc);
  ASSERT_TRUE(VornSaveDialogAsPng(module, MAKEINTRESOURCEA(IDD_ABOUTBOX_VORNOUTLOOKEXPRESS),
                                  (root.path() + "/about.png").c_str()));

  // The property page: no caption, the text centred in its rectangle at
  // (15, 25) units, 221 x 16, on two lines.
  ASSERT_TRUE(VornGetDialogSize(module, MAKEINTRESOURCEA(IDD_PROPPAGE_VORNOUTLOOKEXPRESS), &size));
  EXPECT_EQ(size.cx, 500);
  EXPECT_EQ(size.cy, 124);
  dc = VornCreateBitmapDC(size.cx, size.cy, face);
  ASSERT_TRUE(VornDrawDialog(module, MAKEINTRESOURCEA(IDD_PROPPAGE_VORNOUTLOOKEXPRESS), dc, 0, 0));
  const RECT text{30, 50, 472, 82};
  EXPECT_GT(Count(dc, RECT{text.left, 50, text.right, 60}, black), 300);
  EXPECT_GT(Count(dc, RECT{text.left, 60, text.right, 70}, black), 200);
  EXPECT_EQ(Count(dc, RECT{0, 0, 500, 50}, black), 0);
  EXPECT_EQ(Count(dc, RECT{0, 82, 500, 124}, black), 0);
  // Centred: as much room to the left of the first line as to its right.
  int left = 500, right = 0;
  for (int x = 0; x < 500; ++x) {
    for (int y = 50; y < 60; ++y) {
      if (GetPixel(dc, x, y) == black) {
        left = std::min(left, x);
        right = std::max(right, x);
      }
    }
  }
  EXPECT_NEAR(left - text.left, text.right - 1 - right, 7);
  DeleteDC(dc);
}

}  // namespace
