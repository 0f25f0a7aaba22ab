// The per-thread failure reason.

#include <cstring>
#include <string>

#include "platform/failure_reason.h"

namespace {

thread_local std::string tReason;
thread_local VORNFAILUREHANDLER tHandler = nullptr;
thread_local void* tHandlerContext = nullptr;

}  // namespace

void VornSetFailureReason(LPCSTR text) {
  try {
    if (!text) {
      tReason.clear();
      return;
    }
    size_t length = strnlen(text, VORN_MAX_FAILURE_REASON + 1);
    if (length > VORN_MAX_FAILURE_REASON) {
      length = VORN_MAX_FAILURE_REASON;
      // Never end inside a UTF-8 sequence: back up over continuation bytes
      // and the lead byte they belong to.
      while (length > 0 && (static_cast<unsigned char>(text[length]) & 0xC0) == 0x80) --length;
    }
    tReason.assign(text, length);
    for (char& c : tReason) {
      if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = ' ';
    }
  } catch (...) {
    // Out of memory: no reason is better than a wrong one.
    tReason.clear();
  }
}

DWORD VornGetFailureReason(LPSTR text, DWORD cb) {
  const auto length = static_cast<DWORD>(tReason.size());
  if (text && cb > length) std::memcpy(text, tReason.c_str(), length + 1);
  return length;
}

void VornSetFailureHandler(VORNFAILUREHANDLER handler, void* context) {
  tHandler = handler;
  tHandlerContext = handler ? context : nullptr;
}

void VornReportFailure(LPCSTR operation) {
  if (tHandler) tHandler(operation ? operation : "", tReason.c_str(), tHandlerContext);
}
