// The resource tables of loaded libraries, found by module handle.

#include <algorithm>
#include <cstring>
#include <mutex>
#include <vector>

#include "platform/resource.h"

#include "runtime/text.h"

namespace {

struct Table {
  HMODULE module;
  const RESOURCE_ENTRY* entries;
  UINT count;
};

std::mutex& TablesLock() {
  static std::mutex lock;
  return lock;
}
std::vector<Table>& Tables() {
  static std::vector<Table> tables;
  return tables;
}

bool SameName(LPCSTR a, LPCSTR b) {
  if (IS_INTRESOURCE(a) || IS_INTRESOURCE(b)) return a == b;
  return vorn_rt::EqualNoCase(a, b);
}

// The entry `resource` when it belongs to `module`'s table. Caller holds the lock.
const RESOURCE_ENTRY* EntryOf(HMODULE module, HRSRC resource) {
  const auto* entry = reinterpret_cast<const RESOURCE_ENTRY*>(resource);
  for (const Table& t : Tables()) {
    if (t.module != module) continue;
    if (entry >= t.entries && entry < t.entries + t.count) return entry;
  }
  return nullptr;
}

}  // namespace

BOOL VornRegisterResources(const RESOURCE_ENTRY* entries, UINT count) {
  if (!entries) return FALSE;
  HMODULE module = VornModuleFromAddress(entries);
  if (!module) return FALSE;
  std::lock_guard<std::mutex> hold(TablesLock());
  for (const Table& t : Tables()) {
    if (t.module == module) return FALSE;
  }
  Tables().push_back(Table{module, entries, count});
  return TRUE;
}

BOOL VornUnregisterResources(const RESOURCE_ENTRY* entries) {
  std::lock_guard<std::mutex> hold(TablesLock());
  auto& tables = Tables();
  for (auto it = tables.begin(); it != tables.end(); ++it) {
    if (it->entries == entries) {
      tables.erase(it);
      return TRUE;
    }
  }
  return FALSE;
}

HRSRC FindResourceA(HMODULE module, LPCSTR name, LPCSTR type) {
  if (!module || !name || !type) return nullptr;
  std::lock_guard<std::mutex> hold(TablesLock());
  for (const Table& t : Tables()) {
    if (t.module != module) continue;
    for (UINT i = 0; i < t.count; ++i) {
      const RESOURCE_ENTRY& e = t.entries[i];
      if (SameName(e.type, type) && SameName(e.name, name)) {
        return reinterpret_cast<HRSRC>(const_cast<RESOURCE_ENTRY*>(&e));
      }
    }
  }
  return nullptr;
}

HGLOBAL LoadResource(HMODULE module, HRSRC resource) {
  std::lock_guard<std::mutex> hold(TablesLock());
  const RESOURCE_ENTRY* entry = EntryOf(module, resource);
  return entry ? const_cast<void*>(entry->data) : nullptr;
}

LPVOID LockResource(HGLOBAL data) { return data; }

DWORD SizeofResource(HMODULE module, HRSRC resource) {
  std::lock_guard<std::mutex> hold(TablesLock());
  const RESOURCE_ENTRY* entry = EntryOf(module, resource);
  return entry ? entry->size : 0;
}

int LoadStringA(HINSTANCE instance, UINT id, LPSTR buffer, int cchBufferMax) {
  if (!buffer || cchBufferMax <= 0 || id > 0xFFFF) return 0;
  HRSRC found = FindResourceA(instance, MAKEINTRESOURCEA(static_cast<WORD>(id)), RT_STRING);
  const char* text = static_cast<const char*>(LockResource(LoadResource(instance, found)));
  const DWORD size = SizeofResource(instance, found);
  if (!text) {
    buffer[0] = '\0';
    return 0;
  }
  size_t n = std::min<size_t>(size, static_cast<size_t>(cchBufferMax - 1));
  if (const void* nul = std::memchr(text, '\0', n)) n = static_cast<const char*>(nul) - text;
  // Never cut a UTF-8 sequence in half.
  if (n < size) {
    while (n > 0 && (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80) --n;
  }
  std::memcpy(buffer, text, n);
  buffer[n] = '\0';
  return static_cast<int>(n);
}
