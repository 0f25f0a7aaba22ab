// The reason of a failure that a person must act on, kept per thread.
//
// A status code says what failed; it cannot say which file, which class or
// which server. A component that fails for a reason the person running the
// program has to fix (a class that is not registered, a store file that is
// damaged or was written by a newer version, a contacts folder that cannot
// be read, a server that cannot be reached) sets a one-line text here as
// well as returning its status. A host that shows failures to people reads
// it after a call that failed.
//
// Like a thread's last-error value: the text belongs to the calling thread,
// calls that succeed leave it as it is, and the next failure that sets one
// replaces it. A host therefore clears it before the call whose failure it
// will explain, and reads it only when that call failed.
//
// A component whose callers see only a plain false (a control's method)
// reports such a failure with VornReportFailure; the host that wants to show
// it to people has installed a handler on that thread.
//
// Declarations only; libvornrt.so implements them. Both are safe to call
// from any thread, and neither fails.
#pragma once

#include "platform/types.h"

// The longest reason kept, in bytes; a longer text is cut at a character
// boundary.
constexpr DWORD VORN_MAX_FAILURE_REASON = 1024;

// Makes `text` (UTF-8, without "error:" or a program name in front, e.g.
// "the mail store /home/me/vorn/store/store.db is damaged") the calling
// thread's failure reason. Line breaks and other control characters become
// spaces, so that the reason is always one line. Null or "" clears it.
VORN_API void VornSetFailureReason(LPCSTR text);

// Copies the calling thread's failure reason and its NUL into `text`, which
// holds `cb` bytes. Returns its length in bytes without the NUL: 0 when
// there is none. Writes nothing when `text` is null or the reason and its
// NUL do not fit, but still returns the length needed.
VORN_API DWORD VornGetFailureReason(LPSTR text, DWORD cb);

// Called by VornReportFailure with the operation that failed (e.g.
// "InitControl") and the thread's failure reason ("" when none was set).
// Both texts are valid only during the call.
typedef void (*VORNFAILUREHANDLER)(LPCSTR operation, LPCSTR reason, void* context);

// Makes `handler` (null: none) the calling thread's failure handler, called
// with `context`; replaces the one before.
VORN_API void VornSetFailureHandler(VORNFAILUREHANDLER handler, void* context);

// Tells the calling thread's failure handler, if any, that `operation`
// failed, with the thread's failure reason. Does nothing else.
VORN_API void VornReportFailure(LPCSTR operation);
