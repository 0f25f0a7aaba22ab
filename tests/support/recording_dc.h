// A recording DC, for tests of code that draws: a DC that records every call
// made on it, and every brush created or object deleted on the same thread
// while it exists, as one text line each:
//   SetBkMode 1
//   CreateSolidBrush 0x000000 -> #1
//   FillRect 0 0 200 40 #1 0x000000
//   SetTextColor 0x0000ff
//   TextOutA 0 0 "VornOutlookExpress"
//   DeleteObject #1
// Objects are numbered #1, #2, ... in the order the recording first sees
// them; colours are COLORREF values. Only calls that succeed are recorded.
//
// A program that links vorn_recording_dc gets its own definitions of the
// drawing functions of platform/gdi.h that a recording needs to see. They
// record what concerns a recording DC and pass every call on to the
// runtime's, so each DC, recording or not, otherwise behaves as the
// runtime's do. A recording DC draws into no pixels: GetPixel answers
// CLR_INVALID and VornSaveDCAsPng FALSE. DeleteDC ends it.
#pragma once

#include "platform/gdi.h"

// A new recording DC, owned by the calling thread; null when out of memory.
HDC VornCreateRecordingDC();

// Copies the recorded lines (each ended by '\n') and a NUL into `buffer`
// when they fit in `cb` bytes. Returns the length of the text without the
// NUL, or -1 for a DC that does not record.
int VornGetRecording(HDC dc, LPSTR buffer, int cb);
