// Drawing: device contexts, brushes, text in the built-in font, icons and
// bitmaps.
//
// Declarations only; libvornrt.so implements them. A device context (DC)
// draws into RGBA pixels that can be written as PNG; it is made by the
// extension function at the end. Every DC starts with an opaque white background mode, black text and the
// built-in fixed-width font (6 x 10 pixel cells) selected.
// Handles are checked on every call: an unknown or deleted handle is
// refused, never followed.
#pragma once

#include "platform/loader.h"

typedef DWORD COLORREF;  // 0x00BBGGRR

constexpr COLORREF RGB(BYTE r, BYTE g, BYTE b) {
  return static_cast<COLORREF>(r) | (static_cast<COLORREF>(g) << 8) |
         (static_cast<COLORREF>(b) << 16);
}
constexpr BYTE GetRValue(COLORREF c) { return static_cast<BYTE>(c & 0xFF); }
constexpr BYTE GetGValue(COLORREF c) { return static_cast<BYTE>((c >> 8) & 0xFF); }
constexpr BYTE GetBValue(COLORREF c) { return static_cast<BYTE>((c >> 16) & 0xFF); }
constexpr COLORREF CLR_INVALID = 0xFFFFFFFF;

struct POINT {
  LONG x;
  LONG y;
};
struct SIZE {
  LONG cx;
  LONG cy;
};
typedef SIZE SIZEL;
// A rectangle; right and bottom lie just outside it.
struct RECT {
  LONG left;
  LONG top;
  LONG right;
  LONG bottom;
};
typedef RECT RECTL;
typedef RECT* LPRECT;
typedef const RECT* LPCRECT;
typedef const RECTL* LPCRECTL;

typedef struct HDC__* HDC;
typedef void* HGDIOBJ;
typedef struct HBRUSH__* HBRUSH;
typedef struct HFONT__* HFONT;
typedef struct HBITMAP__* HBITMAP;
typedef struct HICON__* HICON;

// Background modes.
constexpr int TRANSPARENT = 1;
constexpr int OPAQUE = 2;

// Stock objects (GetStockObject). Deleting one does nothing.
constexpr int WHITE_BRUSH = 0;
constexpr int BLACK_BRUSH = 4;
constexpr int SYSTEM_FIXED_FONT = 16;  // the built-in font

// Returns the previous mode, 0 for a bad DC or mode.
VORN_API int SetBkMode(HDC dc, int mode);
VORN_API int GetBkMode(HDC dc);
// Return the previous colour, CLR_INVALID for a bad DC.
VORN_API COLORREF SetBkColor(HDC dc, COLORREF color);
VORN_API COLORREF SetTextColor(HDC dc, COLORREF color);
VORN_API COLORREF GetTextColor(HDC dc);

// A new brush (caller deletes with DeleteObject), null when out of memory.
VORN_API HBRUSH CreateSolidBrush(COLORREF color);
VORN_API HGDIOBJ GetStockObject(int which);
// Deletes a brush, bitmap or icon. FALSE for an unknown or already deleted
// handle and for an object still selected into a DC (which is left alone).
VORN_API BOOL DeleteObject(HGDIOBJ object);
// Selects a brush or font into the DC and returns the one it replaces; null
// for a bad DC or object.
VORN_API HGDIOBJ SelectObject(HDC dc, HGDIOBJ object);

// Fill the rectangle (FrameRect: its one-pixel border) with the brush.
// Non-zero on success, 0 for a bad DC or brush.
VORN_API int FillRect(HDC dc, const RECT* rect, HBRUSH brush);
VORN_API int FrameRect(HDC dc, const RECT* rect, HBRUSH brush);

// Draws `count` bytes of UTF-8 text with the cell of its first character's
// top-left corner at (x, y), one cell per character, in the text colour; in
// OPAQUE mode the cells are first filled with the background colour.
// Characters the font lacks are drawn as a box. Never scaled or clipped to
// anything but the DC's surface.
VORN_API BOOL TextOutA(HDC dc, int x, int y, LPCSTR text, int count);
// The size of `count` bytes of text in the current font.
VORN_API BOOL GetTextExtentPoint32A(HDC dc, LPCSTR text, int count, SIZE* size);

// DrawTextA formats.
constexpr UINT DT_LEFT = 0x0;
constexpr UINT DT_CENTER = 0x1;
constexpr UINT DT_RIGHT = 0x2;
constexpr UINT DT_WORDBREAK = 0x10;
constexpr UINT DT_SINGLELINE = 0x20;
constexpr UINT DT_CALCRECT = 0x400;
constexpr UINT DT_NOPREFIX = 0x800;

// Draws text inside `rect`, broken at spaces into lines that fit its width
// when DT_WORDBREAK is given, each line aligned left, centred or right; lines
// below the rectangle are not drawn. Returns the height of the text drawn, 0
// on failure. With DT_CALCRECT nothing is drawn and `rect` receives the
// text's extent.
VORN_API int DrawTextA(HDC dc, LPCSTR text, int count, RECT* rect, UINT format);

// The colour of a pixel of a bitmap DC; CLR_INVALID outside it.
VORN_API COLORREF GetPixel(HDC dc, int x, int y);

// Deletes a DC made by the extension function below.
VORN_API BOOL DeleteDC(HDC dc);

// Icons and bitmaps from a library's resources (RT_ICON, RT_BITMAP). Null
// when the resource is missing or malformed. The caller deletes a bitmap
// with DeleteObject and an icon with DestroyIcon.
VORN_API HICON LoadIconA(HINSTANCE instance, LPCSTR name);
VORN_API HBITMAP LoadBitmapA(HINSTANCE instance, LPCSTR name);
VORN_API BOOL DestroyIcon(HICON icon);
// Draws the icon at its own size with its top-left corner at (x, y).
VORN_API BOOL DrawIcon(HDC dc, int x, int y, HICON icon);

struct BITMAP {
  LONG bmType;
  LONG bmWidth;
  LONG bmHeight;
  LONG bmWidthBytes;
  WORD bmPlanes;
  WORD bmBitsPixel;
  void* bmBits;
};
// For a bitmap: fills a BITMAP (bmBits null) and returns its size; 0 for an
// unknown object or a buffer too small.
VORN_API int GetObjectA(HGDIOBJ object, int cb, void* buffer);

// ---------------------------------------------------------------------------
// Extensions: a DC drawing into pixels.

// A DC drawing into `width` x `height` RGBA pixels, all `background` at
// first. Null for a size outside 1 to 16384 or when out of memory.
VORN_API HDC VornCreateBitmapDC(int width, int height, COLORREF background);
// Writes the pixels of a bitmap DC to `path` as an 8-bit RGBA PNG.
// FALSE when the DC does not draw into pixels or the file cannot be written.
VORN_API BOOL VornSaveDCAsPng(HDC dc, LPCSTR path);
