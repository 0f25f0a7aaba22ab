// Loading shared libraries and finding their exported functions.
//
// Declarations only; libvornrt.so implements them over the system's dynamic
// loader.
#pragma once

#include "platform/types.h"

typedef struct HINSTANCE__* HINSTANCE;
typedef HINSTANCE HMODULE;
typedef void (*FARPROC)();

// Loads the library at `path` (or finds it loaded) and returns its handle, or
// null when it cannot be loaded. Each successful call must be matched by a
// FreeLibrary.
VORN_API HMODULE LoadLibraryA(LPCSTR path);

// Returns the exported function `name` of `module`, or null. The caller casts
// it to the function's real type before calling it.
VORN_API FARPROC GetProcAddress(HMODULE module, LPCSTR name);

// Undoes one LoadLibraryA. FALSE for a handle that is not loaded.
VORN_API BOOL FreeLibrary(HMODULE module);

// Writes the full path of `module` (null: the main program) and its NUL into
// `path`; returns the length without the NUL, or 0 on failure. A path that
// does not fit is truncated to cb - 1 bytes and `cb` is returned.
VORN_API DWORD GetModuleFileNameA(HMODULE module, LPSTR path, DWORD cb);

// Extension: the handle of the loaded library that contains `address` (a
// function or object of that library), without adding a load; null when no
// library holds it. Lets a library find its own path and resources.
VORN_API HMODULE VornModuleFromAddress(const void* address);
