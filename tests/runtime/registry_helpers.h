// Small helpers for the registry tests: one-call reads and writes, and the
// registry file's bytes.
#pragma once

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "platform/registry.h"

namespace vorn_test {

inline std::string ReadFileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

inline void WriteFileBytes(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
}

// Creates `subKey` under `root` and sets a string value in it.
inline LONG SetString(HKEY root, const char* subKey, const char* name, const std::string& text,
                      DWORD type = REG_SZ) {
  HKEY key = nullptr;
  LONG status = RegCreateKeyExA(root, subKey, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_WRITE,
                                nullptr, &key, nullptr);
  if (status != ERROR_SUCCESS) return status;
  status = RegSetValueExA(key, name, 0, type, reinterpret_cast<const BYTE*>(text.c_str()),
                          static_cast<DWORD>(text.size() + 1));
  RegCloseKey(key);
  return status;
}

inline LONG SetDword(HKEY root, const char* subKey, const char* name, DWORD number) {
  HKEY key = nullptr;
  LONG status = RegCreateKeyExA(root, subKey, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_WRITE,
                                nullptr, &key, nullptr);
  if (status != ERROR_SUCCESS) return status;
  status = RegSetValueExA(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&number),
                          sizeof(number));
  RegCloseKey(key);
  return status;
}

// The string value `name` of `subKey`, or "<error N>" / "<type N>".
inline std::string GetString(HKEY root, const char* subKey, const char* name) {
  HKEY key = nullptr;
  LONG status = RegOpenKeyExA(root, subKey, 0, KEY_READ, &key);
  if (status != ERROR_SUCCESS) return "<error " + std::to_string(status) + ">";
  char buffer[4096];
  DWORD size = sizeof(buffer);
  DWORD type = 0;
  status = RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(buffer), &size);
  RegCloseKey(key);
  if (status != ERROR_SUCCESS) return "<error " + std::to_string(status) + ">";
  if (type != REG_SZ && type != REG_EXPAND_SZ) return "<type " + std::to_string(type) + ">";
  return std::string(buffer, size - 1);
}

// The names of the subkeys of `subKey`, in enumeration order.
inline std::vector<std::string> SubkeyNames(HKEY root, const char* subKey) {
  std::vector<std::string> names;
  HKEY key = nullptr;
  if (RegOpenKeyExA(root, subKey, 0, KEY_READ, &key) != ERROR_SUCCESS) return names;
  for (DWORD index = 0;; ++index) {
    char name[256];
    DWORD length = sizeof(name);
    if (RegEnumKeyExA(key, index, name, &length, nullptr, nullptr, nullptr, nullptr) !=
        ERROR_SUCCESS) {
      break;
    }
    names.emplace_back(name, length);
  }
  RegCloseKey(key);
  return names;
}

}  // namespace vorn_test
