#include "runtime/registry_key.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace vorn_rt {

RegistryKey& RegistryKey::operator=(RegistryKey&& other) noexcept {
  if (this != &other) {
    Close();
    key_ = std::exchange(other.key_, nullptr);
  }
  return *this;
}

LSTATUS RegistryKey::Open(HKEY root, const std::string& path, REGSAM access) {
  Close();
  return RegOpenKeyExA(root, path.c_str(), 0, access, &key_);
}

LSTATUS RegistryKey::Create(HKEY root, const std::string& path, bool* created) {
  Close();
  DWORD disposition = 0;
  const LSTATUS status = RegCreateKeyExA(root, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                                         KEY_ALL_ACCESS, nullptr, &key_, &disposition);
  if (status != ERROR_SUCCESS) key_ = nullptr;
  if (created) *created = status == ERROR_SUCCESS && disposition == REG_CREATED_NEW_KEY;
  return status;
}

void RegistryKey::Close() {
  if (key_) RegCloseKey(key_);
  key_ = nullptr;
}

LSTATUS RegistryKey::ReadString(const char* name, std::string* value) const {
  if (!key_) return ERROR_INVALID_HANDLE;
  // Another process may change the value between asking for its size and
  // reading it: read until it holds still.
  for (int attempt = 0; attempt < 8; ++attempt) {
    DWORD type = REG_NONE;
    DWORD size = 0;
    LSTATUS status = RegQueryValueExA(key_, name, nullptr, &type, nullptr, &size);
    if (status != ERROR_SUCCESS) return status;
    if (type != REG_SZ && type != REG_EXPAND_SZ) return ERROR_INVALID_DATA;
    std::string buffer(size, '\0');
    status = RegQueryValueExA(key_, name, nullptr, &type, reinterpret_cast<LPBYTE>(buffer.data()),
                              &size);
    if (status == ERROR_MORE_DATA) continue;
    if (status != ERROR_SUCCESS) return status;
    if (type != REG_SZ && type != REG_EXPAND_SZ) return ERROR_INVALID_DATA;
    buffer.resize(strnlen(buffer.c_str(), std::min<size_t>(size, buffer.size())));
    *value = std::move(buffer);
    return ERROR_SUCCESS;
  }
  return ERROR_MORE_DATA;
}

LSTATUS RegistryKey::WriteString(const char* name, const std::string& value) const {
  if (!key_) return ERROR_INVALID_HANDLE;
  return RegSetValueExA(key_, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                        static_cast<DWORD>(value.size() + 1));
}

LSTATUS ReadRegistryString(HKEY root, const std::string& path, const char* name,
                           std::string* value) {
  RegistryKey key;
  const LSTATUS status = key.Open(root, path, KEY_QUERY_VALUE);
  return status == ERROR_SUCCESS ? key.ReadString(name, value) : status;
}

bool RemoveRegistryTree(HKEY root, const std::string& path) {
  const LSTATUS status = RegDeleteTreeA(root, path.c_str());
  return status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND;
}

}  // namespace vorn_rt
