// The registry's in-memory tree and its text file form.
//
// The file is line-oriented text:
//
//   Vorn Registry Version 1
//
//   [HKEY_CLASSES_ROOT\CLSID\{55AD47E4-2535-4F8A-817C-4EDDF342617B}\InprocServer32]
//   @="/opt/vorn/VORNOUTLOOKEXPRESS.OCX"
//   "ThreadingModel"="Apartment"
//   "Flags"=dword:0000abcd
//   "Search"=expand:"$HOME/bin"
//
// The first line is the header. A section line names a key by its full path
// and creates it with its parents; the value lines below it belong to it.
// `@` is the default value. Strings are quoted; inside them a backslash and a
// double quote are preceded by a backslash, and every byte that is neither
// printable ASCII nor part of a well-formed UTF-8 sequence is written \xHH
// (two hexadecimal digits, never 00). Blank lines and lines starting with ';'
// are ignored; leading and trailing blanks and a carriage return at the end of
// a line are tolerated.
//
// The writer emits the header, then every key below the three roots in
// depth-first order (subkeys and values sorted by name, ignoring ASCII case;
// a root only when it holds values), each section preceded by a blank line.
// Reading what the writer wrote gives back the same tree, and writing a tree
// read from any accepted file gives this canonical form.
//
// This file has no I/O of its own, so the reader can be exercised on bytes
// alone (the fuzz target does).
#pragma once

#include <array>
#include <cstddef>
#include <map>
#include <memory>
#include <string>
#include <string_view>

#include "platform/registry.h"

namespace vorn_rt {

inline constexpr std::string_view kRegistryHeader = "Vorn Registry Version 1";

// Longest key name (one path component) and value name, in bytes.
inline constexpr size_t kMaxKeyNameLength = 255;
inline constexpr size_t kMaxValueNameLength = 16383;

// Names compare ignoring the case of ASCII letters.
std::string FoldName(std::string_view name);

// A key name is 1 to kMaxKeyNameLength bytes with no backslash and no control
// byte (below 0x20, or 0x7F).
bool IsValidKeyName(std::string_view name);

struct RegValue {
  std::string name;    // case as first written; empty for the default value
  DWORD type = REG_SZ;  // REG_SZ, REG_EXPAND_SZ or REG_DWORD
  std::string text;    // REG_SZ, REG_EXPAND_SZ: the bytes without a NUL
  DWORD number = 0;    // REG_DWORD

  bool operator==(const RegValue& other) const = default;
};

struct RegKey {
  RegKey() = default;
  explicit RegKey(std::string keyName) : name(std::move(keyName)) {}
  RegKey(const RegKey&) = delete;
  RegKey& operator=(const RegKey&) = delete;

  // The subkey `child` (any case), or null.
  RegKey* Find(std::string_view child) const;
  // The subkey `child`, created when missing (keeping the case given then).
  RegKey& Child(std::string_view child);
  // Sets a value; an existing value keeps the case of its name.
  void Set(RegValue value);
  const RegValue* FindValue(std::string_view valueName) const;
  bool Equals(const RegKey& other) const;

  std::string name;  // case as first written
  std::map<std::string, std::unique_ptr<RegKey>> subkeys;  // by folded name
  std::map<std::string, RegValue> values;                  // by folded name
};

enum RootIndex : int { kClassesRoot = 0, kCurrentUser = 1, kLocalMachine = 2, kRootCount = 3 };

struct RegistryTree {
  RegistryTree();
  RegistryTree(const RegistryTree&) = delete;
  RegistryTree& operator=(const RegistryTree&) = delete;
  RegistryTree(RegistryTree&&) = default;
  RegistryTree& operator=(RegistryTree&&) = default;

  bool Equals(const RegistryTree& other) const;

  std::array<std::unique_ptr<RegKey>, kRootCount> roots;
};

// "HKEY_CLASSES_ROOT", "HKEY_CURRENT_USER", "HKEY_LOCAL_MACHINE".
std::string_view RootName(int root);

struct ParseError {
  size_t line = 0;  // 1-based
  std::string message;
};

// Reads a registry file's text into *tree (which is replaced). On failure
// returns false, leaves *tree empty and describes the first fault in *error.
bool ParseRegistryText(std::string_view text, RegistryTree* tree, ParseError* error);

// The canonical text of `tree`.
std::string FormatRegistryText(const RegistryTree& tree);

}  // namespace vorn_rt
