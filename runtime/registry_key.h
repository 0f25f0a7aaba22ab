// RegistryKey: an open registry key that closes itself, and the few reads and
// removals every component library makes.
#pragma once

#include <string>

#include "platform/registry.h"

namespace vorn_rt {

class VORN_API RegistryKey {
 public:
  RegistryKey() = default;
  ~RegistryKey() { Close(); }
  RegistryKey(RegistryKey&& other) noexcept : key_(other.key_) { other.key_ = nullptr; }
  RegistryKey& operator=(RegistryKey&& other) noexcept;
  RegistryKey(const RegistryKey&) = delete;
  RegistryKey& operator=(const RegistryKey&) = delete;

  // Opens the existing key `path` below `root`; the registry's status
  // (ERROR_FILE_NOT_FOUND when there is no such key). Any key held before is
  // closed first.
  LSTATUS Open(HKEY root, const std::string& path, REGSAM access = KEY_READ);
  // Opens `path`, creating it and its missing parents; *created (may be
  // null) tells whether the key itself is new.
  LSTATUS Create(HKEY root, const std::string& path, bool* created = nullptr);
  void Close();

  // Reads the string value `name` ("" or null: the default value) into
  // *value; REG_SZ and REG_EXPAND_SZ count as strings, and the text ends at
  // its first NUL. ERROR_FILE_NOT_FOUND when there is no such value,
  // ERROR_INVALID_DATA when it is no string. *value is unchanged on failure.
  LSTATUS ReadString(const char* name, std::string* value) const;
  // Writes `value` as the REG_SZ value `name` ("" or null: the default value).
  LSTATUS WriteString(const char* name, const std::string& value) const;

  HKEY get() const { return key_; }
  explicit operator bool() const { return key_ != nullptr; }

 private:
  HKEY key_ = nullptr;
};

// Reads the string value `name` of the key `path` below `root` (see
// RegistryKey::ReadString).
VORN_API LSTATUS ReadRegistryString(HKEY root, const std::string& path, const char* name,
                                    std::string* value);

// Removes the key `path` below `root` with everything under it. True when it
// is gone, also when it was never there.
VORN_API bool RemoveRegistryTree(HKEY root, const std::string& path);

}  // namespace vorn_rt
