// BSTR: UTF-16 text with its byte length stored before it and a zero unit
// after it, allocated from task memory.

#include <cstring>
#include <limits>

#include "platform/automation.h"
#include "platform/codepage.h"
#include "platform/runtime.h"

namespace {

constexpr size_t kPrefix = sizeof(uint32_t);
// The byte length must fit the 32-bit prefix, with room for the zero unit.
constexpr UINT kMaxUnits = (std::numeric_limits<uint32_t>::max() - 16) / sizeof(OLECHAR) / 2;

BSTR AllocUnits(UINT length) {
  if (length > kMaxUnits) return nullptr;
  const size_t bytes = static_cast<size_t>(length) * sizeof(OLECHAR);
  auto* block = static_cast<BYTE*>(CoTaskMemAlloc(kPrefix + bytes + sizeof(OLECHAR)));
  if (!block) return nullptr;
  const uint32_t prefix = static_cast<uint32_t>(bytes);
  std::memcpy(block, &prefix, kPrefix);
  BSTR text = reinterpret_cast<BSTR>(block + kPrefix);
  text[length] = 0;
  return text;
}

uint32_t BytePrefix(BSTR text) {
  uint32_t prefix;
  std::memcpy(&prefix, reinterpret_cast<BYTE*>(text) - kPrefix, kPrefix);
  return prefix;
}

}  // namespace

BSTR SysAllocString(const OLECHAR* text) {
  if (!text) return nullptr;
  size_t length = 0;
  while (text[length] != 0) ++length;
  if (length > kMaxUnits) return nullptr;
  return SysAllocStringLen(text, static_cast<UINT>(length));
}

BSTR SysAllocStringLen(const OLECHAR* text, UINT length) {
  BSTR result = AllocUnits(length);
  if (!result) return nullptr;
  if (text) {
    std::memcpy(result, text, static_cast<size_t>(length) * sizeof(OLECHAR));
  } else {
    std::memset(result, 0, static_cast<size_t>(length) * sizeof(OLECHAR));
  }
  return result;
}

void SysFreeString(BSTR text) {
  if (text) CoTaskMemFree(reinterpret_cast<BYTE*>(text) - kPrefix);
}

UINT SysStringLen(BSTR text) { return text ? BytePrefix(text) / sizeof(OLECHAR) : 0; }

UINT SysStringByteLen(BSTR text) { return text ? BytePrefix(text) : 0; }

BSTR VornSysAllocStringA(LPCSTR text, int cb) {
  if (!text) return SysAllocStringLen(nullptr, 0);
  size_t bytes = cb < 0 ? std::strlen(text) : static_cast<size_t>(cb);
  if (bytes == 0) return SysAllocStringLen(nullptr, 0);
  if (bytes > static_cast<size_t>(std::numeric_limits<int>::max())) return nullptr;
  // UTF-8 never needs more UTF-16 units than it has bytes.
  const int needed =
      MultiByteToWideChar(CP_ACP, 0, text, static_cast<int>(bytes), nullptr, 0);
  if (needed <= 0) return nullptr;
  BSTR result = AllocUnits(static_cast<UINT>(needed));
  if (!result) return nullptr;
  const int written =
      MultiByteToWideChar(CP_ACP, 0, text, static_cast<int>(bytes), result, needed);
  if (written != needed) {
    SysFreeString(result);
    return nullptr;
  }
  return result;
}

LPSTR VornSysStringToA(BSTR text, int* cb) {
  const UINT length = SysStringLen(text);
  int needed = 0;
  if (length > 0) {
    if (length > static_cast<UINT>(std::numeric_limits<int>::max() / 3)) return nullptr;
    needed = WideCharToMultiByte(CP_ACP, 0, text, static_cast<int>(length), nullptr, 0,
                                 nullptr, nullptr);
    if (needed <= 0) return nullptr;
  }
  auto* result = static_cast<LPSTR>(CoTaskMemAlloc(static_cast<size_t>(needed) + 1));
  if (!result) return nullptr;
  if (needed > 0 &&
      WideCharToMultiByte(CP_ACP, 0, text, static_cast<int>(length), result, needed, nullptr,
                          nullptr) != needed) {
    CoTaskMemFree(result);
    return nullptr;
  }
  result[needed] = '\0';
  if (cb) *cb = needed;
  return result;
}
