// Conversion between UTF-16 and the system's 8-bit code page.
//
// Declarations only; libvornrt.so implements them. The system code page
// (CP_ACP) is UTF-8. Invalid input is replaced unless the caller asks for a
// refusal: an unpaired surrogate or an invalid UTF-8 sequence becomes U+FFFD.
// Neither function reads past the given length or writes past the given size.
#pragma once

#include "platform/types.h"

constexpr UINT CP_ACP = 0;
constexpr UINT CP_UTF8 = 65001;

// WideCharToMultiByte flag: fail (return 0) on an unpaired surrogate instead
// of replacing it, for text that must arrive exactly as given or not at all.
constexpr DWORD WC_ERR_INVALID_CHARS = 0x80;

// Converts `cchWide` UTF-16 units of `wide` (-1: up to and including its zero
// unit) into `multi`, which holds `cbMulti` bytes. Returns the number of bytes
// written, or with `cbMulti` 0 the number needed; 0 when the output does not
// fit (nothing useful is written then) or for a bad argument.
// `flags` is 0 or WC_ERR_INVALID_CHARS; `defaultChar` and `usedDefaultChar`
// are accepted for their form; *usedDefaultChar is set to FALSE when not null.
VORN_API int WideCharToMultiByte(UINT codePage, DWORD flags, LPCWSTR wide, int cchWide,
                                 LPSTR multi, int cbMulti, LPCSTR defaultChar,
                                 BOOL* usedDefaultChar);

// Converts `cbMulti` bytes of `multi` (-1: up to and including its NUL) into
// `wide`, which holds `cchWide` units. Returns units written, or with
// `cchWide` 0 the units needed; 0 when the output does not fit.
VORN_API int MultiByteToWideChar(UINT codePage, DWORD flags, LPCSTR multi, int cbMulti,
                                 LPWSTR wide, int cchWide);
