// Dialogs: templates a library carries as RT_DIALOG resources, a modal
// runner for the terminal, and rendering to pixels.
//
// Declarations only; libvornrt.so implements them. Positions and sizes in a
// template are dialog units; this platform's dialog base units are 8 x 16
// pixels, so a horizontal unit is 2 pixels and a vertical unit 2 pixels.
#pragma once

#include "platform/gdi.h"
#include "platform/resource.h"

typedef LONG_PTR INT_PTR;

// Window and dialog styles.
constexpr DWORD WS_POPUP = 0x80000000;
constexpr DWORD WS_CHILD = 0x40000000;
constexpr DWORD WS_VISIBLE = 0x10000000;
constexpr DWORD WS_DISABLED = 0x08000000;
constexpr DWORD WS_CAPTION = 0x00C00000;
constexpr DWORD WS_SYSMENU = 0x00080000;
constexpr DWORD WS_GROUP = 0x00020000;
constexpr DWORD WS_TABSTOP = 0x00010000;
constexpr DWORD DS_SETFONT = 0x40;
constexpr DWORD DS_MODALFRAME = 0x80;
// Static text styles.
constexpr DWORD SS_LEFT = 0x0;
constexpr DWORD SS_CENTER = 0x1;
constexpr DWORD SS_RIGHT = 0x2;
constexpr DWORD SS_ICON = 0x3;
// Button styles.
constexpr DWORD BS_PUSHBUTTON = 0x0;
constexpr DWORD BS_DEFPUSHBUTTON = 0x1;

// Dialog results and the ids of their buttons.
constexpr INT_PTR IDOK = 1;
constexpr INT_PTR IDCANCEL = 2;
constexpr WORD IDC_STATIC = 0xFFFF;

enum DIALOG_ITEM_CLASS : WORD {
  DIALOG_BUTTON = 0x0080,
  DIALOG_STATIC = 0x0082,
};

struct DIALOG_ITEM {
  DIALOG_ITEM_CLASS itemClass;
  DWORD style;  // WS_* | SS_* or BS_*
  SHORT x;
  SHORT y;
  SHORT cx;
  SHORT cy;
  WORD id;
  LPCSTR text;  // UTF-8; for SS_ICON the icon's resource name
};

struct DIALOG_TEMPLATE {
  DWORD style;  // WS_* | DS_*
  SHORT x;
  SHORT y;
  SHORT cx;
  SHORT cy;
  LPCSTR caption;   // UTF-8; null or empty for none
  WORD pointSize;   // with DS_SETFONT
  LPCSTR faceName;  // with DS_SETFONT
  const DIALOG_ITEM* items;
  UINT itemCount;
};

// Converts a rectangle from dialog units to pixels.
VORN_API BOOL VornMapDialogRect(RECT* rect);

// Runs dialog `templateName` (RT_DIALOG of `instance`) modally. When standard
// input is a terminal, the dialog is drawn as text on the terminal (never on
// standard output) and the call waits for a line: Enter chooses the default
// push button. When standard input is not a terminal it returns IDCANCEL at
// once without drawing anything. -1 when the template cannot be found or is
// malformed. `parent` may be null.
VORN_API INT_PTR DialogBoxA(HINSTANCE instance, LPCSTR templateName, HWND parent);

// Extension: a host that shows dialogs itself (in a window, on a web page)
// installs a runner. While one is installed, DialogBoxA hands it every
// dialog whose template is found and returns what it returns, instead of
// using the terminal; the runner is called on the thread that called
// DialogBoxA and returns when its dialog has been closed or cancelled.
// `context` is passed through unchanged. A null runner restores the
// terminal. The caller keeps the runner and its context valid until it has
// installed another one and no DialogBoxA call it began is still running.
typedef INT_PTR (*VORN_DIALOG_RUNNER)(HINSTANCE instance, LPCSTR templateName, HWND parent,
                                      void* context);
VORN_API void VornSetDialogRunner(VORN_DIALOG_RUNNER runner, void* context);

// Extension: the text DialogBoxA shows on a terminal, into `buffer` with its
// NUL when it fits in `cb` bytes. Returns the length without the NUL, -1 for
// a missing or malformed template.
VORN_API int VornFormatDialogText(HINSTANCE instance, LPCSTR templateName, LPSTR buffer, int cb);

// Extension: draws the dialog (frame, caption bar when it has a caption,
// items) into `dc` with its top-left corner at (x, y). The caption bar is
// kDialogCaptionHeight pixels high, and the items are placed below it.
constexpr int kDialogCaptionHeight = 14;
VORN_API BOOL VornDrawDialog(HINSTANCE instance, LPCSTR templateName, HDC dc, int x, int y);
// Extension: the dialog's size in pixels, its caption bar included.
VORN_API BOOL VornGetDialogSize(HINSTANCE instance, LPCSTR templateName, SIZE* size);
// Extension: writes the drawn dialog to a PNG file.
VORN_API BOOL VornSaveDialogAsPng(HINSTANCE instance, LPCSTR templateName, LPCSTR path);
