// Version blocks: an RT_VERSION resource copied out of its library.
//
// Block layout: "VVER", the block's size (u32), the VS_FIXEDFILEINFO, the
// language (u16), the code page (u16), the string count (u32), then each
// string as its key and its value, both NUL-terminated.

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "platform/version.h"

#include "runtime/text.h"

namespace {

constexpr size_t kFixedOffset = 8;
constexpr size_t kTranslationOffset = kFixedOffset + sizeof(VS_FIXEDFILEINFO);
constexpr size_t kStringsOffset = kTranslationOffset + 8;

bool Flatten(LPCSTR file, std::vector<BYTE>* block) {
  if (!file) return false;
  HMODULE module = LoadLibraryA(file);
  if (!module) return false;
  HRSRC found = FindResourceA(module, MAKEINTRESOURCEA(1), RT_VERSION);
  const auto* info = static_cast<const VERSION_RESOURCE*>(LockResource(LoadResource(module, found)));
  bool ok = info && SizeofResource(module, found) == sizeof(VERSION_RESOURCE);
  if (ok) {
    block->assign(kStringsOffset, 0);
    std::memcpy(block->data(), "VVER", 4);
    std::memcpy(block->data() + kFixedOffset, &info->fixed, sizeof info->fixed);
    const DWORD translation = info->language | (static_cast<DWORD>(info->codePage) << 16);
    std::memcpy(block->data() + kTranslationOffset, &translation, 4);
    const DWORD count = info->stringCount;
    std::memcpy(block->data() + kTranslationOffset + 4, &count, 4);
    for (UINT i = 0; i < info->stringCount; ++i) {
      const char* key = info->strings[i].key ? info->strings[i].key : "";
      const char* value = info->strings[i].value ? info->strings[i].value : "";
      block->insert(block->end(), key, key + std::strlen(key) + 1);
      block->insert(block->end(), value, value + std::strlen(value) + 1);
    }
    const DWORD size = static_cast<DWORD>(block->size());
    std::memcpy(block->data() + 4, &size, 4);
  }
  FreeLibrary(module);
  return ok;
}

}  // namespace

DWORD GetFileVersionInfoSizeA(LPCSTR file, LPDWORD handle) {
  if (handle) *handle = 0;
  std::vector<BYTE> block;
  try {
    return Flatten(file, &block) ? static_cast<DWORD>(block.size()) : 0;
  } catch (...) {
    return 0;
  }
}

BOOL GetFileVersionInfoA(LPCSTR file, DWORD, DWORD size, LPVOID data) {
  if (!data) return FALSE;
  std::vector<BYTE> block;
  try {
    if (!Flatten(file, &block) || block.size() > size) return FALSE;
  } catch (...) {
    return FALSE;
  }
  std::memcpy(data, block.data(), block.size());
  return TRUE;
}

BOOL VerQueryValueA(const void* block, LPCSTR subBlock, void** value, UINT* length) {
  if (!block || !subBlock || !value || !length) return FALSE;
  const auto* b = static_cast<const BYTE*>(block);
  DWORD size;
  std::memcpy(&size, b + 4, 4);
  if (std::memcmp(b, "VVER", 4) != 0 || size < kStringsOffset) return FALSE;
  if (std::strcmp(subBlock, "\\") == 0) {
    *value = const_cast<BYTE*>(b + kFixedOffset);
    *length = sizeof(VS_FIXEDFILEINFO);
    return TRUE;
  }
  if (vorn_rt::EqualNoCase(subBlock, "\\VarFileInfo\\Translation")) {
    *value = const_cast<BYTE*>(b + kTranslationOffset);
    *length = 4;
    return TRUE;
  }
  const char prefix[] = "\\StringFileInfo\\";
  if (!vorn_rt::StartsWithNoCase(subBlock, prefix)) return FALSE;
  DWORD translation;
  std::memcpy(&translation, b + kTranslationOffset, 4);
  char table[16];
  std::snprintf(table, sizeof table, "%04x%04x", translation & 0xFFFF, translation >> 16);
  const char* rest = subBlock + sizeof prefix - 1;
  if (!vorn_rt::StartsWithNoCase(rest, table) || rest[8] != '\\') return FALSE;
  const char* key = rest + 9;
  DWORD count;
  std::memcpy(&count, b + kTranslationOffset + 4, 4);
  const char* p = reinterpret_cast<const char*>(b + kStringsOffset);
  const char* end = reinterpret_cast<const char*>(b + size);
  for (DWORD i = 0; i < count && p < end; ++i) {
    const size_t keyLength = strnlen(p, static_cast<size_t>(end - p));
    const char* v = p + keyLength + 1;
    if (v >= end) return FALSE;
    const size_t valueLength = strnlen(v, static_cast<size_t>(end - v));
    if (v + valueLength >= end) return FALSE;
    if (vorn_rt::EqualNoCase(p, key)) {
      *value = const_cast<char*>(v);
      *length = static_cast<UINT>(valueLength);
      return TRUE;
    }
    p = v + valueLength + 1;
  }
  return FALSE;
}
