// The recording DC: definitions of the drawing functions that come before the
// runtime's in the program that links them, and reach the runtime's through
// dlsym(RTLD_NEXT). The program exports its symbols (-rdynamic), so that
// dladdr names each of these functions by its symbol.

#include "tests/support/recording_dc.h"

#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <thread>

namespace {

struct Recorder {
  std::string lines;
  std::map<HGDIOBJ, int> numbers;
  std::thread::id owner;
};

std::mutex& Lock() {
  static std::mutex lock;
  return lock;
}

std::map<HDC, Recorder>& Recorders() {
  static auto* recorders = new std::map<HDC, Recorder>;
  return *recorders;
}

// Brushes and stock objects the runtime handed out while this library looked
// on, with their colours, so that a recording can tell them from handles the
// runtime refuses.
std::map<HGDIOBJ, COLORREF>& Known() {
  static auto* known = new std::map<HGDIOBJ, COLORREF>;
  return *known;
}

Recorder* Find(HDC dc) {
  auto it = Recorders().find(dc);
  return it == Recorders().end() ? nullptr : &it->second;
}

// The definition that `ours` (one of this library's functions) stands in
// front of: the next one of the same symbol in the program's search order.
void* Next(void* ours, const char* name) {
  Dl_info info{};
  void* next = nullptr;
  if (dladdr(ours, &info) && info.dli_sname) next = dlsym(RTLD_NEXT, info.dli_sname);
  if (!next) {
    std::fprintf(stderr, "recording DC: no runtime function behind %s\n", name);
    std::abort();
  }
  return next;
}

// The runtime's definition of `function`.
#define RUNTIME(function)                       \
  (reinterpret_cast<decltype(&function)>(Next( \
      reinterpret_cast<void*>(&function), #function)))

std::string Hex(COLORREF color) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%06x", static_cast<unsigned>(color & 0xFFFFFF));
  return text;
}

std::string Number(Recorder& r, HGDIOBJ object) {
  auto it = r.numbers.find(object);
  if (it == r.numbers.end()) {
    it = r.numbers.emplace(object, static_cast<int>(r.numbers.size()) + 1).first;
  }
  std::string number = "#";
  number += std::to_string(it->second);
  return number;
}

std::string Quoted(const char* text, size_t n) {
  std::string out = "\"";
  for (size_t i = 0; i < n; ++i) {
    const char c = text[i];
    if (c == '"' || c == '\\') out += '\\';
    if (c == '\n') {
      out += "\\n";
      continue;
    }
    out += c;
  }
  return out + "\"";
}

std::string Rect(const RECT& r) {
  return std::to_string(r.left) + " " + std::to_string(r.top) + " " + std::to_string(r.right) +
         " " + std::to_string(r.bottom);
}

void Record(HDC dc, const std::string& line) {
  if (Recorder* r = Find(dc)) r->lines += line + "\n";
}

// Calls that belong to no DC go to every recording DC of this thread.
template <class MakeLine>
void RecordOnThread(MakeLine make) {
  const auto self = std::this_thread::get_id();
  for (auto& [dc, r] : Recorders()) {
    if (r.owner == self) r.lines += make(r) + "\n";
  }
}

}  // namespace

HDC VornCreateRecordingDC() {
  // The runtime keeps the DC's state (modes, colours, selected objects); its
  // single pixel is never shown.
  HDC dc = VornCreateBitmapDC(1, 1, RGB(0, 0, 0));
  if (!dc) return nullptr;
  std::lock_guard<std::mutex> hold(Lock());
  Recorders()[dc].owner = std::this_thread::get_id();
  return dc;
}

int VornGetRecording(HDC dc, LPSTR buffer, int cb) {
  std::lock_guard<std::mutex> hold(Lock());
  Recorder* r = Find(dc);
  if (!r) return -1;
  const int length = static_cast<int>(r->lines.size());
  if (buffer && cb > length) std::memcpy(buffer, r->lines.c_str(), r->lines.size() + 1);
  return length;
}

int SetBkMode(HDC dc, int mode) {
  std::lock_guard<std::mutex> hold(Lock());
  const int previous = RUNTIME(SetBkMode)(dc, mode);
  if (previous != 0) Record(dc, "SetBkMode " + std::to_string(mode));
  return previous;
}

COLORREF SetBkColor(HDC dc, COLORREF color) {
  std::lock_guard<std::mutex> hold(Lock());
  const COLORREF previous = RUNTIME(SetBkColor)(dc, color);
  if (previous != CLR_INVALID) Record(dc, "SetBkColor " + Hex(color));
  return previous;
}

COLORREF SetTextColor(HDC dc, COLORREF color) {
  std::lock_guard<std::mutex> hold(Lock());
  const COLORREF previous = RUNTIME(SetTextColor)(dc, color);
  if (previous != CLR_INVALID) Record(dc, "SetTextColor " + Hex(color));
  return previous;
}

HBRUSH CreateSolidBrush(COLORREF color) {
  std::lock_guard<std::mutex> hold(Lock());
  HBRUSH brush = RUNTIME(CreateSolidBrush)(color);
  if (brush) {
    Known()[brush] = color & 0xFFFFFF;
    RecordOnThread(
        [&](Recorder& r) { return "CreateSolidBrush " + Hex(color) + " -> " + Number(r, brush); });
  }
  return brush;
}

HGDIOBJ GetStockObject(int which) {
  std::lock_guard<std::mutex> hold(Lock());
  HGDIOBJ object = RUNTIME(GetStockObject)(which);
  if (object) Known()[object] = which == WHITE_BRUSH ? RGB(255, 255, 255) : RGB(0, 0, 0);
  return object;
}

BOOL DeleteObject(HGDIOBJ object) {
  std::lock_guard<std::mutex> hold(Lock());
  const BOOL deleted = RUNTIME(DeleteObject)(object);
  // Deleting a selected object is refused, yet it was a call on a live one.
  if (deleted || Known().count(object)) {
    RecordOnThread([&](Recorder& r) { return "DeleteObject " + Number(r, object); });
  }
  // Stock objects stay after a delete (a no-op for them).
  if (deleted && RUNTIME(DeleteObject)(object) == FALSE) Known().erase(object);
  return deleted;
}

HGDIOBJ SelectObject(HDC dc, HGDIOBJ object) {
  std::lock_guard<std::mutex> hold(Lock());
  HGDIOBJ previous = RUNTIME(SelectObject)(dc, object);
  Recorder* r = Find(dc);
  if (r && (previous || Known().count(object))) {
    r->lines += "SelectObject " + Number(*r, object) + "\n";
  }
  return previous;
}

// FillRect and FrameRect: the rectangle, the brush and its colour.
template <class Draw>
int DrawWithBrush(const char* name, Draw draw, HDC dc, const RECT* rect, HBRUSH brush) {
  std::lock_guard<std::mutex> hold(Lock());
  const int done = draw(dc, rect, brush);
  Recorder* r = Find(dc);
  if (done && r) {
    r->lines += std::string(name) + " " + Rect(*rect) + " " + Number(*r, brush) + " " +
                Hex(Known()[brush]) + "\n";
  }
  return done;
}

int FillRect(HDC dc, const RECT* rect, HBRUSH brush) {
  return DrawWithBrush("FillRect", RUNTIME(FillRect), dc, rect, brush);
}

int FrameRect(HDC dc, const RECT* rect, HBRUSH brush) {
  return DrawWithBrush("FrameRect", RUNTIME(FrameRect), dc, rect, brush);
}

BOOL TextOutA(HDC dc, int x, int y, LPCSTR text, int count) {
  std::lock_guard<std::mutex> hold(Lock());
  const BOOL done = RUNTIME(TextOutA)(dc, x, y, text, count);
  if (done) {
    Record(dc, "TextOutA " + std::to_string(x) + " " + std::to_string(y) + " " +
                   Quoted(text, static_cast<size_t>(count)));
  }
  return done;
}

int DrawTextA(HDC dc, LPCSTR text, int count, RECT* rect, UINT format) {
  std::lock_guard<std::mutex> hold(Lock());
  const RECT given = rect ? *rect : RECT{};
  const int height = RUNTIME(DrawTextA)(dc, text, count, rect, format);
  if (text && rect && !(format & DT_CALCRECT)) {
    const size_t n = count < 0 ? std::strlen(text) : static_cast<size_t>(count);
    Record(dc, "DrawTextA " + Rect(given) + " " + std::to_string(format) + " " + Quoted(text, n));
  }
  return height;
}

BOOL DrawIcon(HDC dc, int x, int y, HICON icon) {
  std::lock_guard<std::mutex> hold(Lock());
  const BOOL done = RUNTIME(DrawIcon)(dc, x, y, icon);
  Recorder* r = Find(dc);
  if (done && r) {
    r->lines += "DrawIcon " + std::to_string(x) + " " + std::to_string(y) + " " +
                Number(*r, icon) + "\n";
  }
  return done;
}

COLORREF GetPixel(HDC dc, int x, int y) {
  std::lock_guard<std::mutex> hold(Lock());
  return Find(dc) ? CLR_INVALID : RUNTIME(GetPixel)(dc, x, y);
}

BOOL VornSaveDCAsPng(HDC dc, LPCSTR path) {
  {
    std::lock_guard<std::mutex> hold(Lock());
    if (Find(dc)) return FALSE;
  }
  return RUNTIME(VornSaveDCAsPng)(dc, path);
}

BOOL DeleteDC(HDC dc) {
  std::lock_guard<std::mutex> hold(Lock());
  Recorders().erase(dc);
  return RUNTIME(DeleteDC)(dc);
}
