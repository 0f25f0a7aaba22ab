// Conversion between UTF-16 and the system's 8-bit code page, or Windows-1252.
//
// Declarations only; libvornrt.so implements them. The system code page
// (CP_ACP) is UTF-8. Invalid input is replaced, never refused unless
// MB_ERR_INVALID_CHARS or WC_ERR_INVALID_CHARS asks for it: an unpaired
// surrogate or an invalid UTF-8 sequence becomes U+FFFD. Windows-1252 maps
// every byte to one character and back: the five bytes it leaves undefined
// (0x81, 0x8D, 0x8F, 0x90, 0x9D) are the C1 controls of the same value.
// Neither function reads past the given length or writes past the given size.
#pragma once

#include "platform/types.h"

constexpr UINT CP_ACP = 0;
constexpr UINT CP_UTF8 = 65001;
constexpr UINT CP_WINDOWS_1252 = 1252;

// MultiByteToWideChar flag: fail (return 0) on an invalid UTF-8 sequence
// instead of replacing it.
constexpr DWORD MB_ERR_INVALID_CHARS = 0x00000008;

// WideCharToMultiByte flag: fail (return 0) on an unpaired surrogate instead
// of replacing it, for text that must arrive exactly as given or not at all.
constexpr DWORD WC_ERR_INVALID_CHARS = 0x80;

// Converts `cchWide` UTF-16 units of `wide` (-1: up to and including its zero
// unit) into `multi`, which holds `cbMulti` bytes. Returns the number of bytes
// written, or with `cbMulti` 0 the number needed; 0 when the output does not
// fit (nothing useful is written then) or for a bad argument.
// `flags` is 0 or WC_ERR_INVALID_CHARS. For Windows-1252, a character it
// lacks becomes the first byte of `defaultChar` ('?' when null) and sets
// *usedDefaultChar; otherwise *usedDefaultChar is set to FALSE when not null.
VORN_API int WideCharToMultiByte(UINT codePage, DWORD flags, LPCWSTR wide, int cchWide,
                                 LPSTR multi, int cbMulti, LPCSTR defaultChar,
                                 BOOL* usedDefaultChar);

// Converts `cbMulti` bytes of `multi` (-1: up to and including its NUL) into
// `wide`, which holds `cchWide` units. Returns units written, or with
// `cchWide` 0 the units needed; 0 when the output does not fit, and with
// MB_ERR_INVALID_CHARS when UTF-8 input holds an invalid sequence.
VORN_API int MultiByteToWideChar(UINT codePage, DWORD flags, LPCSTR multi, int cbMulti,
                                 LPWSTR wide, int cchWide);
