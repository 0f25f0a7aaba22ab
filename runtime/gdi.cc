// Device contexts and drawing objects: an RGBA back end whose pixels are
// written as PNG, to files or into memory.

#include <png.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "platform/gdi.h"
#include "platform/resource.h"
#include "runtime/bitmap_font.h"
#include "runtime/pixels.h"

namespace {

// ---------------------------------------------------------------------------
// Objects.

enum class Kind { kBrush, kFont, kBitmap, kIcon };

struct Image {
  int width = 0;
  int height = 0;
  int bitsPerPixel = 0;
  std::vector<BYTE> rgba;  // top row first, 4 bytes per pixel
};

struct Object {
  Kind kind;
  COLORREF color = 0;  // brushes
  Image image;         // bitmaps and icons
  bool stock = false;
};

struct Dc {
  int bkMode = OPAQUE;
  COLORREF bkColor = RGB(255, 255, 255);
  COLORREF textColor = RGB(0, 0, 0);
  HGDIOBJ brush = nullptr;
  HGDIOBJ font = nullptr;
  // Bitmap DCs.
  int width = 0;
  int height = 0;
  std::vector<BYTE> pixels;  // RGBA, top row first
};

std::mutex& Lock() {
  static std::mutex lock;
  return lock;
}

// Every live object and DC, by handle. Handles are never reused, so a stale
// handle can never name a newer object.
struct Tables {
  std::map<HGDIOBJ, std::unique_ptr<Object>> objects;
  std::map<HDC, std::unique_ptr<Dc>> dcs;
  uintptr_t next = 0x1000;

  HGDIOBJ NewHandle() {
    next += 0x10;
    return reinterpret_cast<HGDIOBJ>(next);
  }
};

png_image PngImageOf(const vorn_rt::Pixels& pixels) {
  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  image.width = static_cast<png_uint_32>(pixels.width);
  image.height = static_cast<png_uint_32>(pixels.height);
  image.format = PNG_FORMAT_RGBA;
  return image;
}

HGDIOBJ StockHandle(int which) {
  return reinterpret_cast<HGDIOBJ>(static_cast<uintptr_t>(0x100 + which * 0x10));
}

Tables& State() {
  static Tables* tables = [] {
    auto* t = new Tables;
    auto add = [t](int which, Kind kind, COLORREF color) {
      auto o = std::make_unique<Object>();
      o->kind = kind;
      o->color = color;
      o->stock = true;
      t->objects[StockHandle(which)] = std::move(o);
    };
    add(WHITE_BRUSH, Kind::kBrush, RGB(255, 255, 255));
    add(BLACK_BRUSH, Kind::kBrush, RGB(0, 0, 0));
    add(SYSTEM_FIXED_FONT, Kind::kFont, 0);
    return t;
  }();
  return *tables;
}

Object* FindObject(HGDIOBJ handle, Kind kind) {
  auto it = State().objects.find(handle);
  if (it == State().objects.end() || it->second->kind != kind) return nullptr;
  return it->second.get();
}

Dc* FindDc(HDC dc) {
  auto it = State().dcs.find(dc);
  return it == State().dcs.end() ? nullptr : it->second.get();
}

// ---------------------------------------------------------------------------
// Pixels.

void PutPixel(Dc& dc, int x, int y, COLORREF color, int alpha = 255) {
  if (x < 0 || y < 0 || x >= dc.width || y >= dc.height) return;
  BYTE* p = &dc.pixels[(static_cast<size_t>(y) * dc.width + x) * 4];
  const BYTE rgb[3] = {GetRValue(color), GetGValue(color), GetBValue(color)};
  for (int i = 0; i < 3; ++i) p[i] = static_cast<BYTE>((rgb[i] * alpha + p[i] * (255 - alpha)) / 255);
  p[3] = 255;
}

void FillPixels(Dc& dc, RECT r, COLORREF color) {
  r.left = std::max<LONG>(r.left, 0);
  r.top = std::max<LONG>(r.top, 0);
  r.right = std::min<LONG>(r.right, dc.width);
  r.bottom = std::min<LONG>(r.bottom, dc.height);
  for (LONG y = r.top; y < r.bottom; ++y) {
    for (LONG x = r.left; x < r.right; ++x) PutPixel(dc, x, y, color);
  }
}

// Decodes UTF-8 into code points; an invalid sequence becomes U+FFFD.
std::vector<uint32_t> CodePoints(const char* text, size_t n) {
  std::vector<uint32_t> out;
  for (size_t i = 0; i < n;) {
    const auto b = static_cast<unsigned char>(text[i]);
    int extra = b < 0x80 ? 0 : (b >> 5) == 6 ? 1 : (b >> 4) == 14 ? 2 : (b >> 3) == 30 ? 3 : -1;
    uint32_t cp = extra == 0 ? b : extra == 1 ? (b & 0x1F) : extra == 2 ? (b & 0x0F) : (b & 0x07);
    bool ok = extra >= 0;
    for (int k = 1; ok && k <= extra; ++k) {
      if (i + k >= n) {
        ok = false;
        break;
      }
      const auto c = static_cast<unsigned char>(text[i + k]);
      if ((c & 0xC0) != 0x80) ok = false;
      cp = (cp << 6) | (c & 0x3F);
    }
    if (!ok) {
      out.push_back(0xFFFD);
      ++i;
      continue;
    }
    out.push_back(cp);
    i += static_cast<size_t>(extra) + 1;
  }
  return out;
}

void DrawGlyphs(Dc& dc, int x, int y, const std::vector<uint32_t>& chars) {
  for (size_t i = 0; i < chars.size(); ++i) {
    const int left = x + static_cast<int>(i) * kCellWidth;
    if (dc.bkMode == OPAQUE) {
      FillPixels(dc, RECT{left, y, left + kCellWidth, y + kCellHeight}, dc.bkColor);
    }
    const uint8_t* glyph = BuiltinGlyph(chars[i]);
    for (int row = 0; row < kGlyphRows; ++row) {
      for (int col = 0; col < kGlyphWidth; ++col) {
        if (glyph[row] & (0x10 >> col)) PutPixel(dc, left + col, y + row, dc.textColor);
      }
    }
  }
}

// Reads a DIB resource: BITMAPINFOHEADER, then rows of `bits` (24 or 32).
bool ReadDib(const void* data, DWORD size, int bits, Image* image) {
  if (!data || size < sizeof(BITMAPINFOHEADER)) return false;
  BITMAPINFOHEADER h;
  std::memcpy(&h, data, sizeof h);
  const LONG height = h.biHeight < 0 ? -h.biHeight : h.biHeight;
  if (h.biSize != sizeof h || h.biBitCount != bits || h.biCompression != 0 || h.biWidth <= 0 ||
      h.biWidth > 1024 || height <= 0 || height > 1024) {
    return false;
  }
  const size_t stride = ((static_cast<size_t>(h.biWidth) * bits / 8) + 3) & ~size_t{3};
  if (size < sizeof h + stride * static_cast<size_t>(height)) return false;
  const BYTE* rows = static_cast<const BYTE*>(data) + sizeof h;
  image->width = h.biWidth;
  image->height = height;
  image->bitsPerPixel = bits;
  image->rgba.assign(static_cast<size_t>(h.biWidth) * height * 4, 0);
  for (LONG y = 0; y < height; ++y) {
    const BYTE* src = rows + stride * static_cast<size_t>(h.biHeight < 0 ? y : height - 1 - y);
    for (LONG x = 0; x < h.biWidth; ++x) {
      const BYTE* p = src + static_cast<size_t>(x) * bits / 8;
      BYTE* d = &image->rgba[(static_cast<size_t>(y) * h.biWidth + x) * 4];
      d[0] = p[2];
      d[1] = p[1];
      d[2] = p[0];
      d[3] = bits == 32 ? p[3] : 255;
    }
  }
  return true;
}

HGDIOBJ LoadImageResource(HINSTANCE instance, LPCSTR name, LPCSTR type, Kind kind, int bits) {
  HRSRC found = FindResourceA(instance, name, type);
  const void* data = LockResource(LoadResource(instance, found));
  auto object = std::make_unique<Object>();
  object->kind = kind;
  if (!ReadDib(data, SizeofResource(instance, found), bits, &object->image)) return nullptr;
  std::lock_guard<std::mutex> hold(Lock());
  HGDIOBJ handle = State().NewHandle();
  State().objects[handle] = std::move(object);
  return handle;
}

// Splits text into the lines DrawTextA draws: at line breaks, and with
// DT_WORDBREAK at spaces so that each line holds at most `columns` cells.
std::vector<std::vector<uint32_t>> Lines(const std::vector<uint32_t>& chars, size_t columns,
                                         UINT format) {
  std::vector<std::vector<uint32_t>> lines(1);
  for (uint32_t c : chars) {
    if (c == '\n' && !(format & DT_SINGLELINE)) {
      lines.emplace_back();
      continue;
    }
    if (c == '\r') continue;
    lines.back().push_back(c);
  }
  if (!(format & DT_WORDBREAK) || columns == 0) return lines;
  std::vector<std::vector<uint32_t>> wrapped;
  for (const auto& line : lines) {
    size_t start = 0;
    do {
      size_t end = std::min(line.size(), start + columns);
      if (end < line.size()) {
        size_t space = end;
        while (space > start && line[space] != ' ') --space;
        if (space > start) end = space;  // break at the last space that fits
      }
      wrapped.emplace_back(line.begin() + static_cast<long>(start),
                           line.begin() + static_cast<long>(end));
      start = end;
      while (start < line.size() && line[start] == ' ') ++start;
    } while (start < line.size());
  }
  return wrapped;
}

}  // namespace

int SetBkMode(HDC dc, int mode) {
  std::lock_guard<std::mutex> hold(Lock());
  Dc* d = FindDc(dc);
  if (!d || (mode != TRANSPARENT && mode != OPAQUE)) return 0;
  return std::exchange(d->bkMode, mode);
}

int GetBkMode(HDC dc) {
  std::lock_guard<std::mutex> hold(Lock());
  Dc* d = FindDc(dc);
  return d ? d->bkMode : 0;
}

COLORREF SetBkColor(HDC dc, COLORREF color) {
  std::lock_guard<std::mutex> hold(Lock());
  Dc* d = FindDc(dc);
  if (!d) return CLR_INVALID;
  return std::exchange(d->bkColor, color & 0xFFFFFF);
}

COLORREF SetTextColor(HDC dc, COLORREF color) {
  std::lock_guard<std::mutex> hold(Lock());
  Dc* d = FindDc(dc);
  if (!d) return CLR_INVALID;
  return std::exchange(d->textColor, color & 0xFFFFFF);
}

COLORREF GetTextColor(HDC dc) {
  std::lock_guard<std::mutex> hold(Lock());
  Dc* d = FindDc(dc);
  return d ? d->textColor : CLR_INVALID;
}

HBRUSH CreateSolidBrush(COLORREF color) {
  auto object = std::make_unique<Object>();
  object->kind = Kind::kBrush;
  object->color = color & 0xFFFFFF;
  std::lock_guard<std::mutex> hold(Lock());
  HGDIOBJ handle = State().NewHandle();
  State().objects[handle] = std::move(object);
  return static_cast<HBRUSH>(handle);
}

HGDIOBJ GetStockObject(int which) {
  if (which != WHITE_BRUSH && which != BLACK_BRUSH && which != SYSTEM_FIXED_FONT) return nullptr;
  std::lock_guard<std::mutex> hold(Lock());
  State();
  return StockHandle(which);
}

BOOL DeleteObject(HGDIOBJ object) {
  std::lock_guard<std::mutex> hold(Lock());
  auto it = State().objects.find(object);
  if (it == State().objects.end()) return FALSE;
  if (it->second->stock) return TRUE;
  for (auto& [handle, dc] : State().dcs) {
    if (dc->brush == object || dc->font == object) return FALSE;
  }
  State().objects.erase(it);
  return TRUE;
}

HGDIOBJ SelectObject(HDC dc, HGDIOBJ object) {
  std::lock_guard<std::mutex> hold(Lock());
  Dc* d = FindDc(dc);
  auto it = State().objects.find(object);
  if (!d || it == State().objects.end()) return nullptr;
  switch (it->second->kind) {
    case Kind::kBrush: return std::exchange(d->brush, object);
    case Kind::kFont: return std::exchange(d->font, object);
    default: return nullptr;
  }
}

int FillRect(HDC dc, const RECT* rect, HBRUSH brush) {
  std::lock_guard<std::mutex> hold(Lock());
  Dc* d = FindDc(dc);
  Object* b = FindObject(brush, Kind::kBrush);
  if (!d || !b || !rect) return 0;
  FillPixels(*d, *rect, b->color);
  return 1;
}

int FrameRect(HDC dc, const RECT* rect, HBRUSH brush) {
  std::lock_guard<std::mutex> hold(Lock());
  Dc* d = FindDc(dc);
  Object* b = FindObject(brush, Kind::kBrush);
  if (!d || !b || !rect) return 0;
  const RECT& r = *rect;
  if (r.right <= r.left || r.bottom <= r.top) return 1;
  FillPixels(*d, RECT{r.left, r.top, r.right, r.top + 1}, b->color);
  FillPixels(*d, RECT{r.left, r.bottom - 1, r.right, r.bottom}, b->color);
  FillPixels(*d, RECT{r.left, r.top, r.left + 1, r.bottom}, b->color);
  FillPixels(*d, RECT{r.right - 1, r.top, r.right, r.bottom}, b->color);
  return 1;
}

BOOL TextOutA(HDC dc, int x, int y, LPCSTR text, int count) {
  if (!text || count < 0) return FALSE;
  std::lock_guard<std::mutex> hold(Lock());
  Dc* d = FindDc(dc);
  if (!d) return FALSE;
  const size_t n = static_cast<size_t>(count);
  DrawGlyphs(*d, x, y, CodePoints(text, n));
  return TRUE;
}

BOOL GetTextExtentPoint32A(HDC dc, LPCSTR text, int count, SIZE* size) {
  if (!text || count < 0 || !size) return FALSE;
  std::lock_guard<std::mutex> hold(Lock());
  if (!FindDc(dc)) return FALSE;
  size->cx = static_cast<LONG>(CodePoints(text, static_cast<size_t>(count)).size()) * kCellWidth;
  size->cy = kCellHeight;
  return TRUE;
}

int DrawTextA(HDC dc, LPCSTR text, int count, RECT* rect, UINT format) {
  if (!text || !rect) return 0;
  const size_t n = count < 0 ? std::strlen(text) : static_cast<size_t>(count);
  std::lock_guard<std::mutex> hold(Lock());
  Dc* d = FindDc(dc);
  if (!d) return 0;
  const LONG width = rect->right - rect->left;
  const size_t columns = width > 0 ? static_cast<size_t>(width / kCellWidth) : 0;
  const auto lines = Lines(CodePoints(text, n), columns, format);
  const int height = static_cast<int>(lines.size()) * kCellHeight;
  if (format & DT_CALCRECT) {
    size_t widest = 0;
    for (const auto& line : lines) widest = std::max(widest, line.size());
    rect->right = rect->left + static_cast<LONG>(widest) * kCellWidth;
    rect->bottom = rect->top + height;
    return height;
  }
  LONG y = rect->top;
  for (auto line : lines) {
    if (y >= rect->bottom) break;
    if (line.size() > columns) line.resize(columns);
    const LONG used = static_cast<LONG>(line.size()) * kCellWidth;
    LONG x = rect->left;
    if (format & DT_CENTER) x += (width - used) / 2;
    else if (format & DT_RIGHT) x += width - used;
    DrawGlyphs(*d, x, y, line);
    y += kCellHeight;
  }
  return height;
}

COLORREF GetPixel(HDC dc, int x, int y) {
  std::lock_guard<std::mutex> hold(Lock());
  Dc* d = FindDc(dc);
  if (!d || x < 0 || y < 0 || x >= d->width || y >= d->height) {
    return CLR_INVALID;
  }
  const BYTE* p = &d->pixels[(static_cast<size_t>(y) * d->width + x) * 4];
  return RGB(p[0], p[1], p[2]);
}

BOOL DeleteDC(HDC dc) {
  std::lock_guard<std::mutex> hold(Lock());
  return State().dcs.erase(dc) ? TRUE : FALSE;
}

HICON LoadIconA(HINSTANCE instance, LPCSTR name) {
  return static_cast<HICON>(LoadImageResource(instance, name, RT_ICON, Kind::kIcon, 32));
}

HBITMAP LoadBitmapA(HINSTANCE instance, LPCSTR name) {
  return static_cast<HBITMAP>(LoadImageResource(instance, name, RT_BITMAP, Kind::kBitmap, 24));
}

BOOL DestroyIcon(HICON icon) {
  std::lock_guard<std::mutex> hold(Lock());
  if (!FindObject(icon, Kind::kIcon)) return FALSE;
  State().objects.erase(icon);
  return TRUE;
}

BOOL DrawIcon(HDC dc, int x, int y, HICON icon) {
  std::lock_guard<std::mutex> hold(Lock());
  Dc* d = FindDc(dc);
  Object* i = FindObject(icon, Kind::kIcon);
  if (!d || !i) return FALSE;
  const Image& image = i->image;
  for (int row = 0; row < image.height; ++row) {
    for (int col = 0; col < image.width; ++col) {
      const BYTE* p = &image.rgba[(static_cast<size_t>(row) * image.width + col) * 4];
      if (p[3] != 0) PutPixel(*d, x + col, y + row, RGB(p[0], p[1], p[2]), p[3]);
    }
  }
  return TRUE;
}

int GetObjectA(HGDIOBJ object, int cb, void* buffer) {
  std::lock_guard<std::mutex> hold(Lock());
  Object* b = FindObject(object, Kind::kBitmap);
  if (!b || !buffer || cb < static_cast<int>(sizeof(BITMAP))) return 0;
  BITMAP info{};
  info.bmWidth = b->image.width;
  info.bmHeight = b->image.height;
  info.bmWidthBytes = ((b->image.width * b->image.bitsPerPixel / 8) + 3) & ~3;
  info.bmPlanes = 1;
  info.bmBitsPixel = static_cast<WORD>(b->image.bitsPerPixel);
  std::memcpy(buffer, &info, sizeof info);
  return sizeof info;
}

HDC VornCreateBitmapDC(int width, int height, COLORREF background) {
  if (width < 1 || height < 1 || width > 16384 || height > 16384) return nullptr;
  auto dc = std::make_unique<Dc>();
  dc->width = width;
  dc->height = height;
  dc->pixels.resize(static_cast<size_t>(width) * height * 4);
  for (size_t i = 0; i < dc->pixels.size(); i += 4) {
    dc->pixels[i] = GetRValue(background);
    dc->pixels[i + 1] = GetGValue(background);
    dc->pixels[i + 2] = GetBValue(background);
    dc->pixels[i + 3] = 255;
  }
  std::lock_guard<std::mutex> hold(Lock());
  dc->font = StockHandle(SYSTEM_FIXED_FONT);
  HDC handle = static_cast<HDC>(State().NewHandle());
  State().dcs[handle] = std::move(dc);
  return handle;
}

BOOL VornSaveDCAsPng(HDC dc, LPCSTR path) {
  if (!path) return FALSE;
  vorn_rt::Pixels pixels;
  if (!vorn_rt::CopyDCPixels(dc, &pixels)) return FALSE;
  png_image image = PngImageOf(pixels);
  const int ok = png_image_write_to_file(&image, path, 0, pixels.rgba.data(), 0, nullptr);
  png_image_free(&image);
  return ok ? TRUE : FALSE;
}

namespace vorn_rt {

bool CopyDCPixels(HDC dc, Pixels* out) {
  if (!out) return false;
  try {
    std::lock_guard<std::mutex> hold(Lock());
    Dc* d = FindDc(dc);
    if (!d || d->pixels.empty()) return false;
    out->rgba = d->pixels;
    out->width = d->width;
    out->height = d->height;
    return true;
  } catch (const std::bad_alloc&) {
    return false;
  }
}

bool EncodePng(const Pixels& pixels, std::string* png) {
  if (!png || pixels.width < 1 || pixels.height < 1 ||
      pixels.rgba.size() != static_cast<size_t>(pixels.width) * pixels.height * 4) {
    return false;
  }
  png_image image = PngImageOf(pixels);
  png_alloc_size_t size = 0;
  // The first pass only measures; the second writes into the room it asked for.
  bool ok = png_image_write_to_memory(&image, nullptr, &size, 0, pixels.rgba.data(), 0, nullptr);
  if (ok) {
    try {
      png->assign(size, '\0');
    } catch (const std::bad_alloc&) {
      ok = false;
    }
  }
  if (ok) {
    ok = png_image_write_to_memory(&image, png->data(), &size, 0, pixels.rgba.data(), 0, nullptr);
    png->resize(ok ? size : 0);
  }
  png_image_free(&image);
  return ok;
}

}  // namespace vorn_rt
