// The resource table of the control module: every string, picture, dialog,
// the type library and the version information, in one table.

#include "control/resources.h"

#include <cstring>
#include <iterator>
#include <vector>

#include "control/identifiers.h"
#include "control/type_library.h"
#include "platform/dialog.h"
#include "platform/version.h"
#include "runtime/resource_table.h"

namespace {

// ---- Pictures -----------------------------------------------------------------
// A 16 x 16 envelope: '#' outline, '+' flap, '.' paper, ' ' background.
constexpr const char* kEnvelope[16] = {
    "                ",
    "                ",
    "                ",
    " ############## ",
    " #+..........+# ",
    " #.+........+.# ",
    " #..+......+..# ",
    " #...+....+...# ",
    " #....+..+....# ",
    " #.....++.....# ",
    " #............# ",
    " #............# ",
    " #............# ",
    " ############## ",
    "                ",
    "                ",
};

struct Rgba {
  BYTE r, g, b, a;
};

Rgba Colour(char c, Rgba background) {
  switch (c) {
    case '#': return {0, 0, 0, 255};
    case '+': return {192, 0, 0, 255};
    case '.': return {255, 255, 224, 255};
    default: return background;
  }
}

// A device-independent bitmap of the envelope, bottom row first.
std::vector<BYTE> Dib(int bits, Rgba background) {
  BITMAPINFOHEADER h{};
  h.biSize = sizeof h;
  h.biWidth = 16;
  h.biHeight = 16;
  h.biPlanes = 1;
  h.biBitCount = static_cast<WORD>(bits);
  const size_t stride = ((16 * static_cast<size_t>(bits) / 8) + 3) & ~size_t{3};
  h.biSizeImage = static_cast<DWORD>(stride * 16);
  std::vector<BYTE> dib(sizeof h + stride * 16, 0);
  std::memcpy(dib.data(), &h, sizeof h);
  for (int y = 0; y < 16; ++y) {
    BYTE* row = dib.data() + sizeof h + stride * static_cast<size_t>(15 - y);
    for (int x = 0; x < 16; ++x) {
      const Rgba c = Colour(kEnvelope[y][x], background);
      BYTE* p = row + static_cast<size_t>(x) * bits / 8;
      p[0] = c.b;
      p[1] = c.g;
      p[2] = c.r;
      if (bits == 32) p[3] = c.a;
    }
  }
  return dib;
}

const std::vector<BYTE> kToolboxBitmap = Dib(24, {192, 192, 192, 255});
const std::vector<BYTE> kIcon = Dib(32, {0, 0, 0, 0});

// ---- Dialogs ----------------------------------------------------------------------
const DIALOG_ITEM kAboutItems[] = {
    {DIALOG_STATIC, SS_ICON, 10, 10, 20, 20, IDC_STATIC, MAKEINTRESOURCEA(IDI_ABOUTDLL)},
    {DIALOG_STATIC, SS_LEFT | WS_GROUP, 40, 10, 170, 8, IDC_STATIC, kAboutVersionLine},
    {DIALOG_STATIC, SS_LEFT | WS_GROUP, 40, 25, 170, 8, IDC_STATIC, kAboutLegalLine},
    {DIALOG_BUTTON, BS_DEFPUSHBUTTON | WS_GROUP | WS_TABSTOP, 221, 7, 32, 14,
     static_cast<WORD>(IDOK), "OK"},
};
const DIALOG_TEMPLATE kAboutDialog = {
    DS_MODALFRAME | DS_SETFONT | WS_POPUP | WS_CAPTION | WS_SYSMENU,
    34, 22, 260, 55, kAboutCaption, kDialogFontSize, kDialogFont,
    kAboutItems, static_cast<UINT>(std::size(kAboutItems))};

const DIALOG_ITEM kPropPageItems[] = {
    {DIALOG_STATIC, SS_CENTER, 15, 25, 221, 16, IDC_STATIC, kPropPageText},
};
const DIALOG_TEMPLATE kPropPageDialog = {
    DS_SETFONT | WS_CHILD, 0, 0, 250, 62, "", kDialogFontSize, kDialogFont,
    kPropPageItems, static_cast<UINT>(std::size(kPropPageItems))};

// ---- Version ------------------------------------------------------------------------
constexpr DWORD kVersionMS = (static_cast<DWORD>(kFileVersion[0]) << 16) | kFileVersion[1];
constexpr DWORD kVersionLS = (static_cast<DWORD>(kFileVersion[2]) << 16) | kFileVersion[3];
const VERSION_STRING kVersionStrings[] = {
    {"Comments", ""},
    {"CompanyName", kCompanyName},
    {"FileDescription", kModuleDescription},
    {"FileVersion", kVersionText},
    {"InternalName", kInternalName},
    {"LegalCopyright", kLegalCopyright},
    {"LegalTrademarks", ""},
    {"OLESelfRegister", ""},
    {"OriginalFilename", kOriginalFilename},
    {"PrivateBuild", ""},
    {"ProductName", kModuleDescription},
    {"ProductVersion", kVersionText},
    {"SpecialBuild", ""},
};
const VERSION_RESOURCE kVersion = {
    {VS_FFI_SIGNATURE, VS_FFI_STRUCVERSION, kVersionMS, kVersionLS, kVersionMS, kVersionLS,
     VS_FFI_FILEFLAGSMASK, 0, VOS__WINDOWS32, VFT_DLL, 0, 0, 0},
    0x0409, 1200, kVersionStrings, static_cast<UINT>(std::size(kVersionStrings))};

// ---- The table ------------------------------------------------------------------------
RESOURCE_ENTRY String(WORD id, const char* text) {
  return {RT_STRING, MAKEINTRESOURCEA(id), text, static_cast<DWORD>(std::strlen(text))};
}

const RESOURCE_ENTRY kResources[] = {
    String(IDS_VORNOUTLOOKEXPRESS, kControlTypeName),
    String(IDS_VORNOUTLOOKEXPRESS_PPG, kPropPageName),
    String(IDS_VORNOUTLOOKEXPRESS_PPG_CAPTION, kPropPageCaption),
    {RT_BITMAP, MAKEINTRESOURCEA(IDB_VORNOUTLOOKEXPRESS), kToolboxBitmap.data(),
     static_cast<DWORD>(kToolboxBitmap.size())},
    {RT_ICON, MAKEINTRESOURCEA(IDI_ABOUTDLL), kIcon.data(), static_cast<DWORD>(kIcon.size())},
    {RT_DIALOG, MAKEINTRESOURCEA(IDD_ABOUTBOX_VORNOUTLOOKEXPRESS), &kAboutDialog,
     sizeof kAboutDialog},
    {RT_DIALOG, MAKEINTRESOURCEA(IDD_PROPPAGE_VORNOUTLOOKEXPRESS), &kPropPageDialog,
     sizeof kPropPageDialog},
    {RT_TYPELIB, MAKEINTRESOURCEA(IDR_TYPELIB), ControlTypeLibBytes().data(),
     static_cast<DWORD>(ControlTypeLibBytes().size())},
    {RT_VERSION, MAKEINTRESOURCEA(IDR_VERSION), &kVersion, sizeof kVersion},
};

const ResourceTableRegistration kRegistration(kResources, std::size(kResources));

}  // namespace

HMODULE ControlResourceModule() { return VornModuleFromAddress(kResources); }

std::string LoadResourceString(WORD id) {
  char buffer[512];
  const int n = LoadStringA(ControlResourceModule(), id, buffer, sizeof buffer);
  return std::string(buffer, n > 0 ? static_cast<size_t>(n) : 0);
}
