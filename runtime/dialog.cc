// Dialogs: finding templates, drawing them into pixels or as text on the
// terminal, and running them modally; the property frame.

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include <algorithm>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "platform/control.h"
#include "platform/dialog.h"
#include "platform/runtime.h"
#include "runtime/com_ptr.h"

namespace {

constexpr int kPixelsPerUnitX = 2;
constexpr int kPixelsPerUnitY = 2;
constexpr int kUnitsPerColumn = 4;  // a character cell is 4 x 8 dialog units
constexpr int kUnitsPerRow = 8;
constexpr UINT kMaxItems = 256;

constexpr COLORREF kFace = RGB(192, 192, 192);
constexpr COLORREF kCaptionBar = RGB(0, 0, 128);
constexpr COLORREF kCaptionText = RGB(255, 255, 255);
constexpr COLORREF kText = RGB(0, 0, 0);

// The template of `name`, or null when it is missing or malformed.
const DIALOG_TEMPLATE* FindTemplate(HINSTANCE instance, LPCSTR name) {
  HRSRC found = FindResourceA(instance, name, RT_DIALOG);
  const auto* t = static_cast<const DIALOG_TEMPLATE*>(LockResource(LoadResource(instance, found)));
  if (!t || SizeofResource(instance, found) != sizeof(DIALOG_TEMPLATE)) return nullptr;
  if (t->cx < 0 || t->cy < 0 || t->itemCount > kMaxItems || (t->itemCount > 0 && !t->items)) {
    return nullptr;
  }
  for (UINT i = 0; i < t->itemCount; ++i) {
    const DIALOG_ITEM& item = t->items[i];
    if (item.cx < 0 || item.cy < 0) return nullptr;
    if (item.itemClass != DIALOG_BUTTON && item.itemClass != DIALOG_STATIC) return nullptr;
  }
  return t;
}

bool HasCaption(const DIALOG_TEMPLATE& t) {
  return (t.style & WS_CAPTION) == WS_CAPTION && t.caption && t.caption[0];
}

bool IsIcon(const DIALOG_ITEM& item) {
  return item.itemClass == DIALOG_STATIC && (item.style & 0xF) == SS_ICON;
}

const char* TextOf(const DIALOG_ITEM& item) {
  if (IsIcon(item) || !item.text || IS_INTRESOURCE(item.text)) return "";
  return item.text;
}

RECT ItemPixels(const DIALOG_ITEM& item, int x, int y) {
  return RECT{x + item.x * kPixelsPerUnitX, y + item.y * kPixelsPerUnitY,
              x + (item.x + item.cx) * kPixelsPerUnitX, y + (item.y + item.cy) * kPixelsPerUnitY};
}

INT_PTR DefaultButton(const DIALOG_TEMPLATE& t) {
  for (UINT i = 0; i < t.itemCount; ++i) {
    const DIALOG_ITEM& item = t.items[i];
    if (item.itemClass == DIALOG_BUTTON && (item.style & 0xF) == BS_DEFPUSHBUTTON) return item.id;
  }
  return IDOK;
}

// ---- Text on the terminal ---------------------------------------------------------

// Number of UTF-8 characters (not bytes) of `text`.
std::vector<std::string> Characters(const std::string& text) {
  std::vector<std::string> out;
  for (size_t i = 0; i < text.size();) {
    size_t n = 1;
    while (i + n < text.size() && (static_cast<unsigned char>(text[i + n]) & 0xC0) == 0x80) ++n;
    out.push_back(text.substr(i, n));
    i += n;
  }
  return out;
}

// Breaks text at spaces into lines of at most `width` characters.
std::vector<std::vector<std::string>> Wrap(const std::vector<std::string>& chars, size_t width) {
  std::vector<std::vector<std::string>> lines;
  size_t start = 0;
  while (start < chars.size()) {
    size_t end = std::min(chars.size(), start + width);
    if (end < chars.size()) {
      size_t space = end;
      while (space > start && chars[space] != " ") --space;
      if (space > start) end = space;
    }
    lines.emplace_back(chars.begin() + static_cast<long>(start),
                       chars.begin() + static_cast<long>(end));
    start = end;
    while (start < chars.size() && chars[start] == " ") ++start;
  }
  return lines;
}

std::string FormatText(const DIALOG_TEMPLATE& t) {
  const int columns = std::max(1, (t.cx + kUnitsPerColumn - 1) / kUnitsPerColumn);
  const int rows = std::max(1, (t.cy + kUnitsPerRow - 1) / kUnitsPerRow);
  std::vector<std::vector<std::string>> grid(static_cast<size_t>(rows),
                                             std::vector<std::string>(columns, " "));
  auto put = [&](int row, int col, const std::vector<std::string>& chars) {
    if (row < 0 || row >= rows) return;
    for (size_t i = 0; i < chars.size(); ++i) {
      const int c = col + static_cast<int>(i);
      if (c >= 0 && c < columns) grid[row][c] = chars[i];
    }
  };
  for (UINT i = 0; i < t.itemCount; ++i) {
    const DIALOG_ITEM& item = t.items[i];
    const int col = item.x / kUnitsPerColumn;
    const int row = item.y / kUnitsPerRow;
    const int width = std::max(1, item.cx / kUnitsPerColumn);
    const int height = std::max(1, item.cy / kUnitsPerRow);
    if (IsIcon(item)) {
      put(row, col, Characters("[*]"));
      continue;
    }
    std::string text = TextOf(item);
    if (item.itemClass == DIALOG_BUTTON) {
      text = ((item.style & 0xF) == BS_DEFPUSHBUTTON ? "<" : "[") + text +
             ((item.style & 0xF) == BS_DEFPUSHBUTTON ? ">" : "]");
      const auto chars = Characters(text);
      put(row, col + std::max(0, (width - static_cast<int>(chars.size())) / 2), chars);
      continue;
    }
    // A one-line text runs on to the dialog's edge; a taller one wraps
    // within its own width.
    const auto chars = Characters(text);
    const auto lines = Wrap(chars, height > 1 ? static_cast<size_t>(width)
                                              : static_cast<size_t>(std::max(1, columns - col)));
    for (size_t l = 0; l < lines.size(); ++l) {
      int c = col;
      const int used = static_cast<int>(lines[l].size());
      if ((item.style & 0xF) == SS_CENTER) c += std::max(0, (width - used) / 2);
      if ((item.style & 0xF) == SS_RIGHT) c += std::max(0, width - used);
      put(row + static_cast<int>(l), c, lines[l]);
    }
  }
  std::string out;
  std::string top = "+";
  if (HasCaption(t)) {
    const auto caption = Characters(std::string(" ") + t.caption + " ");
    for (int c = 0; c < columns; ++c) {
      top += c < 1 || c - 1 >= static_cast<int>(caption.size()) ? "-" : caption[c - 1];
    }
  } else {
    top += std::string(static_cast<size_t>(columns), '-');
  }
  out += top + "+\n";
  for (const auto& line : grid) {
    out += "|";
    for (const auto& cell : line) out += cell;
    out += "|\n";
  }
  out += "+" + std::string(static_cast<size_t>(columns), '-') + "+\n";
  return out;
}

// ---- Pixels -----------------------------------------------------------------------------

SIZE PixelSize(const DIALOG_TEMPLATE& t) {
  return SIZE{t.cx * kPixelsPerUnitX,
              t.cy * kPixelsPerUnitY + (HasCaption(t) ? kDialogCaptionHeight : 0)};
}

void Draw(HINSTANCE instance, const DIALOG_TEMPLATE& t, HDC dc, int x, int y) {
  const SIZE size = PixelSize(t);
  HBRUSH face = CreateSolidBrush(kFace);
  HBRUSH frame = CreateSolidBrush(kText);
  RECT all{x, y, x + size.cx, y + size.cy};
  FillRect(dc, &all, face);
  SetBkMode(dc, TRANSPARENT);
  int top = y;
  if (HasCaption(t)) {
    HBRUSH bar = CreateSolidBrush(kCaptionBar);
    RECT caption{x, y, x + size.cx, y + kDialogCaptionHeight};
    FillRect(dc, &caption, bar);
    DeleteObject(bar);
    SetTextColor(dc, kCaptionText);
    TextOutA(dc, x + 3, y + 2, t.caption, static_cast<int>(std::strlen(t.caption)));
    top += kDialogCaptionHeight;
  }
  if (t.style & (DS_MODALFRAME | WS_CAPTION)) FrameRect(dc, &all, frame);
  SetTextColor(dc, kText);
  for (UINT i = 0; i < t.itemCount; ++i) {
    const DIALOG_ITEM& item = t.items[i];
    RECT r = ItemPixels(item, x, top);
    if (IsIcon(item)) {
      HICON icon = LoadIconA(instance, item.text);
      if (icon) {
        DrawIcon(dc, r.left, r.top, icon);
        DestroyIcon(icon);
      }
      continue;
    }
    const char* text = TextOf(item);
    if (item.itemClass == DIALOG_BUTTON) {
      FrameRect(dc, &r, frame);
      if ((item.style & 0xF) == BS_DEFPUSHBUTTON) {
        RECT inner{r.left + 1, r.top + 1, r.right - 1, r.bottom - 1};
        FrameRect(dc, &inner, frame);
      }
      RECT label = r;
      label.top += std::max<LONG>(0, (r.bottom - r.top - 10) / 2);
      DrawTextA(dc, text, -1, &label, DT_CENTER | DT_SINGLELINE);
      continue;
    }
    UINT format = DT_WORDBREAK;
    if ((item.style & 0xF) == SS_CENTER) format |= DT_CENTER;
    if ((item.style & 0xF) == SS_RIGHT) format |= DT_RIGHT;
    DrawTextA(dc, text, -1, &r, format);
  }
  DeleteObject(face);
  DeleteObject(frame);
}

// The runner a host installed, with its context.
struct DialogRunner {
  std::mutex mutex;
  VORN_DIALOG_RUNNER run = nullptr;
  void* context = nullptr;
};

DialogRunner& Runner() {
  static DialogRunner* runner = new DialogRunner;  // never destroyed: see VornSetDialogRunner
  return *runner;
}

// Reads one line from standard input; false at its end.
bool ReadLine() {
  char c;
  for (;;) {
    const ssize_t n = read(STDIN_FILENO, &c, 1);
    if (n == 1) {
      if (c == '\n') return true;
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    return false;
  }
}

void WriteAll(int fd, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    done += static_cast<size_t>(n);
  }
}

}  // namespace

BOOL VornMapDialogRect(RECT* rect) {
  if (!rect) return FALSE;
  rect->left *= kPixelsPerUnitX;
  rect->right *= kPixelsPerUnitX;
  rect->top *= kPixelsPerUnitY;
  rect->bottom *= kPixelsPerUnitY;
  return TRUE;
}

INT_PTR DialogBoxA(HINSTANCE instance, LPCSTR templateName, HWND parent) {
  const DIALOG_TEMPLATE* t = FindTemplate(instance, templateName);
  if (!t) return -1;
  VORN_DIALOG_RUNNER run;
  void* context;
  {
    DialogRunner& runner = Runner();
    std::lock_guard<std::mutex> lock(runner.mutex);
    run = runner.run;
    context = runner.context;
  }
  if (run) return run(instance, templateName, parent, context);
  if (!isatty(STDIN_FILENO)) return IDCANCEL;
  try {
    const std::string text = FormatText(*t) + "Press Enter to close.\n";
    // The terminal, never standard output, which may carry a program's data.
    const int tty = open("/dev/tty", O_WRONLY | O_CLOEXEC);
    WriteAll(tty >= 0 ? tty : STDERR_FILENO, text);
    if (tty >= 0) close(tty);
  } catch (...) {
    return -1;
  }
  return ReadLine() ? DefaultButton(*t) : IDCANCEL;
}

void VornSetDialogRunner(VORN_DIALOG_RUNNER run, void* context) {
  DialogRunner& runner = Runner();
  std::lock_guard<std::mutex> lock(runner.mutex);
  runner.run = run;
  runner.context = context;
}

int VornFormatDialogText(HINSTANCE instance, LPCSTR templateName, LPSTR buffer, int cb) {
  const DIALOG_TEMPLATE* t = FindTemplate(instance, templateName);
  if (!t) return -1;
  try {
    const std::string text = FormatText(*t);
    if (buffer && cb > static_cast<int>(text.size())) {
      std::memcpy(buffer, text.c_str(), text.size() + 1);
    }
    return static_cast<int>(text.size());
  } catch (...) {
    return -1;
  }
}

BOOL VornGetDialogSize(HINSTANCE instance, LPCSTR templateName, SIZE* size) {
  const DIALOG_TEMPLATE* t = FindTemplate(instance, templateName);
  if (!t || !size) return FALSE;
  *size = PixelSize(*t);
  return TRUE;
}

BOOL VornDrawDialog(HINSTANCE instance, LPCSTR templateName, HDC dc, int x, int y) {
  const DIALOG_TEMPLATE* t = FindTemplate(instance, templateName);
  if (!t || GetBkMode(dc) == 0) return FALSE;
  try {
    Draw(instance, *t, dc, x, y);
  } catch (...) {
    return FALSE;
  }
  return TRUE;
}

BOOL VornSaveDialogAsPng(HINSTANCE instance, LPCSTR templateName, LPCSTR path) {
  const DIALOG_TEMPLATE* t = FindTemplate(instance, templateName);
  if (!t) return FALSE;
  const SIZE size = PixelSize(*t);
  HDC dc = VornCreateBitmapDC(std::max<LONG>(1, size.cx), std::max<LONG>(1, size.cy), kFace);
  if (!dc) return FALSE;
  BOOL ok = VornDrawDialog(instance, templateName, dc, 0, 0) && VornSaveDCAsPng(dc, path);
  DeleteDC(dc);
  return ok;
}

HRESULT OleCreatePropertyFrame(HWND owner, UINT, UINT, LPCOLESTR, ULONG objectCount,
                               IUnknown** objects, ULONG pageCount, const CLSID* pages, LCID,
                               DWORD, void*) {
  if ((objectCount > 0 && !objects) || (pageCount > 0 && !pages)) return E_POINTER;
  for (ULONG i = 0; i < pageCount; ++i) {
    ComPtr<IPropertyPage> page;
    HRESULT hr = CoCreateInstance(pages[i], nullptr, CLSCTX_INPROC_SERVER, IID_IPropertyPage,
                                  page.PutVoid());
    if (FAILED(hr)) return hr;
    hr = page->SetObjects(objectCount, objects);
    if (SUCCEEDED(hr)) hr = page->Activate(owner, nullptr, TRUE);
    if (SUCCEEDED(hr) && page->IsPageDirty() == S_OK) hr = page->Apply();
    page->Deactivate();
    page->SetObjects(0, nullptr);
    if (FAILED(hr)) return hr;
  }
  return S_OK;
}
