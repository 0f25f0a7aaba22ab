// The text that describes a result code.
//
// Declarations only; libvornrt.so implements them.
#pragma once

#include "platform/types.h"

constexpr DWORD FORMAT_MESSAGE_IGNORE_INSERTS = 0x00000200;
constexpr DWORD FORMAT_MESSAGE_FROM_SYSTEM = 0x00001000;

// Writes the description of `messageId` (a result code, or a Win32 error
// code) into `buffer` with its NUL: its symbolic name and a short sentence,
// for example "DISP_E_BADPARAMCOUNT: Invalid number of parameters.". `flags`
// must include FORMAT_MESSAGE_FROM_SYSTEM; `source`, `languageId` and
// `arguments` are accepted for their form. Returns the number of characters
// written without the NUL; 0 when the code is unknown, the flags are not
// supported or the text and its NUL do not fit in `size` characters (then
// nothing is written).
VORN_API DWORD FormatMessageA(DWORD flags, const void* source, DWORD messageId,
                              DWORD languageId, LPSTR buffer, DWORD size, void* arguments);
