// Resources: the strings, pictures, dialog templates, version information
// and type library a loadable library carries.
//
// Declarations only; libvornrt.so implements them. A library declares all
// its resources in one table of RESOURCE_ENTRY and hands it to the runtime
// with VornRegisterResources when it is loaded (runtime/resource_table.h does
// this from a static object); the runtime finds the table again by the
// library's module handle. Resource data stays owned by the library and is
// valid while the library is loaded.
#pragma once

#include "platform/loader.h"

// A resource type or name is either a string or a small integer made into a
// pointer with MAKEINTRESOURCEA.
inline LPSTR MAKEINTRESOURCEA(WORD id) {
  return reinterpret_cast<LPSTR>(static_cast<uintptr_t>(id));
}
inline bool IS_INTRESOURCE(LPCSTR name) {
  return (reinterpret_cast<uintptr_t>(name) >> 16) == 0;
}

// Resource types, and the data each holds on this platform:
//   RT_STRING   one string, UTF-8, the entry's size in bytes (no NUL needed);
//               the entry's name is the string's id
//   RT_BITMAP   a device-independent bitmap: BITMAPINFOHEADER, then 24-bit
//               BGR rows, bottom row first, each padded to 4 bytes
//   RT_ICON     as RT_BITMAP with 32-bit BGRA rows (alpha 0 is transparent)
//   RT_DIALOG   a DIALOG_TEMPLATE (platform/dialog.h)
//   RT_VERSION  a VERSION_RESOURCE (platform/version.h)
//   "TYPELIB"   a type library in the serialised form (platform/typelib.h)
inline LPCSTR const RT_BITMAP = MAKEINTRESOURCEA(2);
inline LPCSTR const RT_ICON = MAKEINTRESOURCEA(3);
inline LPCSTR const RT_DIALOG = MAKEINTRESOURCEA(5);
inline LPCSTR const RT_STRING = MAKEINTRESOURCEA(6);
inline LPCSTR const RT_VERSION = MAKEINTRESOURCEA(16);
inline LPCSTR const RT_TYPELIB = "TYPELIB";

struct RESOURCE_ENTRY {
  LPCSTR type;       // RT_* or a type name
  LPCSTR name;       // MAKEINTRESOURCEA(id) or a name
  const void* data;  // owned by the library
  DWORD size;        // bytes at `data`
};

struct BITMAPINFOHEADER {
  DWORD biSize;  // 40
  LONG biWidth;
  LONG biHeight;  // positive: bottom row first
  WORD biPlanes;  // 1
  WORD biBitCount;  // 24 (bitmaps) or 32 (icons)
  DWORD biCompression;  // 0: none
  DWORD biSizeImage;
  LONG biXPelsPerMeter;
  LONG biYPelsPerMeter;
  DWORD biClrUsed;
  DWORD biClrImportant;
};

typedef struct HRSRC__* HRSRC;
typedef void* HGLOBAL;

// Makes `entries` (`count` of them, owned by the calling library and alive
// until VornUnregisterResources) the resource table of the library that holds
// them. FALSE for a null table, an address no loaded library holds, or a
// library that already has a table.
VORN_API BOOL VornRegisterResources(const RESOURCE_ENTRY* entries, UINT count);
// Withdraws a table registered with VornRegisterResources.
VORN_API BOOL VornUnregisterResources(const RESOURCE_ENTRY* entries);

// The resource `name` of `type` in `module`'s table, or null. Names and types
// given as strings compare case-insensitively.
VORN_API HRSRC FindResourceA(HMODULE module, LPCSTR name, LPCSTR type);
// The handle of the resource's data, or null for a resource `module` does not
// hold.
VORN_API HGLOBAL LoadResource(HMODULE module, HRSRC resource);
// The address of the data (valid while the library is loaded).
VORN_API LPVOID LockResource(HGLOBAL data);
// The size of the data in bytes, 0 for a resource `module` does not hold.
VORN_API DWORD SizeofResource(HMODULE module, HRSRC resource);

// Copies string `id` of `instance` into `buffer` (at most `cchBufferMax` - 1
// bytes, cut at a character boundary, then a NUL) and returns the number of
// bytes copied; 0 when there is no such string or no room.
VORN_API int LoadStringA(HINSTANCE instance, UINT id, LPSTR buffer, int cchBufferMax);
