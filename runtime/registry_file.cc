// The registry's text file: reader and writer.

#include "runtime/registry_file.h"

#include <cstdio>
#include <vector>

#include "runtime/text.h"

namespace vorn_rt {
namespace {

constexpr std::string_view kRootNames[kRootCount] = {"HKEY_CLASSES_ROOT", "HKEY_CURRENT_USER",
                                                     "HKEY_LOCAL_MACHINE"};
constexpr char kHexDigits[] = "0123456789abcdef";

bool IsControlByte(unsigned char c) { return c < 0x20 || c == 0x7F; }

void AppendQuoted(std::string& out, std::string_view text) {
  out += '"';
  size_t i = 0;
  while (i < text.size()) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c == '\\' || c == '"') {
      out += '\\';
      out += static_cast<char>(c);
      ++i;
    } else if (c < 0x80 && !IsControlByte(c)) {
      out += static_cast<char>(c);
      ++i;
    } else if (size_t length = c >= 0x80 ? vorn_rt::Utf8SequenceLength(text, i) : 0) {
      out.append(text.substr(i, length));
      i += length;
    } else {
      out += "\\x";
      out += kHexDigits[c >> 4];
      out += kHexDigits[c & 0xF];
      ++i;
    }
  }
  out += '"';
}

void AppendValue(std::string& out, const RegValue& value) {
  if (value.name.empty()) {
    out += '@';
  } else {
    AppendQuoted(out, value.name);
  }
  out += '=';
  switch (value.type) {
    case REG_DWORD: {
      char digits[9];
      std::snprintf(digits, sizeof(digits), "%08x", static_cast<unsigned>(value.number));
      out += "dword:";
      out += digits;
      break;
    }
    case REG_EXPAND_SZ:
      out += "expand:";
      AppendQuoted(out, value.text);
      break;
    default:
      AppendQuoted(out, value.text);
      break;
  }
  out += '\n';
}

void AppendKey(std::string& out, const RegKey& key, std::string& path, bool isRoot) {
  if (!isRoot || !key.values.empty()) {
    out += "\n[";
    out += path;
    out += "]\n";
    for (const auto& entry : key.values) AppendValue(out, entry.second);
  }
  for (const auto& entry : key.subkeys) {
    const size_t mark = path.size();
    path += '\\';
    path += entry.second->name;
    AppendKey(out, *entry.second, path, false);
    path.resize(mark);
  }
}

// Reads one line's fields. Every method returns false after recording the
// first fault in `error_`.
class LineReader {
 public:
  LineReader(std::string_view line, std::string* error) : rest_(line), error_(error) {}

  bool AtEnd() const { return rest_.empty(); }

  bool Fail(std::string message) {
    *error_ = std::move(message);
    return false;
  }

  bool Expect(char c, const char* what) {
    if (rest_.empty() || rest_.front() != c) return Fail(std::string("expected ") + what);
    rest_.remove_prefix(1);
    return true;
  }

  // Consumes `word` when the line continues with it (ASCII case ignored).
  bool TakeWord(std::string_view word) {
    if (rest_.size() < word.size() || FoldName(rest_.substr(0, word.size())) != word) {
      return false;
    }
    rest_.remove_prefix(word.size());
    return true;
  }

  bool Peek(char c) const { return !rest_.empty() && rest_.front() == c; }

  // A quoted string with its escapes undone.
  bool Quoted(std::string* text) {
    if (!Expect('"', "a double quote")) return false;
    text->clear();
    while (true) {
      if (rest_.empty()) return Fail("string without its closing double quote");
      const auto c = static_cast<unsigned char>(rest_.front());
      rest_.remove_prefix(1);
      if (c == '"') return true;
      if (IsControlByte(c)) return Fail("control character in a string (write it as \\xHH)");
      if (c != '\\') {
        *text += static_cast<char>(c);
        continue;
      }
      if (rest_.empty()) return Fail("string without its closing double quote");
      const char escaped = rest_.front();
      rest_.remove_prefix(1);
      if (escaped == '\\' || escaped == '"') {
        *text += escaped;
      } else if (escaped == 'x') {
        const int high = rest_.size() >= 2 ? HexDigitValue(rest_[0]) : -1;
        const int low = rest_.size() >= 2 ? HexDigitValue(rest_[1]) : -1;
        if (high < 0 || low < 0) return Fail("\\x must be followed by two hexadecimal digits");
        if (high == 0 && low == 0) return Fail("a string cannot hold a zero byte");
        *text += static_cast<char>(high * 16 + low);
        rest_.remove_prefix(2);
      } else {
        return Fail(std::string("unknown escape \\") + escaped);
      }
    }
  }

  bool Hex32(DWORD* number) {
    size_t digits = 0;
    DWORD value = 0;
    while (digits < rest_.size() && HexDigitValue(rest_[digits]) >= 0) {
      if (digits == 8) return Fail("a dword has at most 8 hexadecimal digits");
      value = (value << 4) | static_cast<DWORD>(HexDigitValue(rest_[digits]));
      ++digits;
    }
    if (digits == 0) return Fail("expected hexadecimal digits after dword:");
    rest_.remove_prefix(digits);
    *number = value;
    return true;
  }

 private:
  std::string_view rest_;
  std::string* error_;
};

std::string_view Trim(std::string_view line) {
  while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t')) {
    line.remove_suffix(1);
  }
  while (!line.empty() && (line.front() == ' ' || line.front() == '\t')) line.remove_prefix(1);
  return line;
}

// "[path]": the key named by the path, created with its parents.
bool ReadSection(std::string_view line, RegistryTree* tree, RegKey** current,
                 std::string* error) {
  if (line.size() < 2 || line.back() != ']') {
    *error = "a section line must end with ]";
    return false;
  }
  std::string_view path = line.substr(1, line.size() - 2);
  const size_t slash = path.find('\\');
  const std::string rootName = FoldName(path.substr(0, slash));
  RegKey* key = nullptr;
  for (int root = 0; root < kRootCount; ++root) {
    if (rootName == FoldName(kRootNames[root])) key = tree->roots[root].get();
  }
  if (!key) {
    *error = "unknown root key \"" + std::string(path.substr(0, slash)) + "\"";
    return false;
  }
  path = slash == std::string_view::npos ? std::string_view() : path.substr(slash + 1);
  if (slash != std::string_view::npos && path.empty()) {
    *error = "empty key name";
    return false;
  }
  while (!path.empty()) {
    const size_t next = path.find('\\');
    const std::string_view name = path.substr(0, next);
    if (!IsValidKeyName(name)) {
      *error = name.empty() ? "empty key name"
                            : "invalid key name \"" + std::string(name) + "\"";
      return false;
    }
    key = &key->Child(name);
    if (next == std::string_view::npos) break;
    path.remove_prefix(next + 1);
    if (path.empty()) {
      *error = "empty key name";
      return false;
    }
  }
  *current = key;
  return true;
}

// `@=...` or `"name"=...`.
bool ReadValue(std::string_view line, RegKey* current, std::string* error) {
  LineReader reader(line, error);
  RegValue value;
  if (reader.Peek('@')) {
    reader.Expect('@', "@");
  } else {
    if (!reader.Quoted(&value.name)) return false;
    if (value.name.empty()) return reader.Fail("the default value is written @, not \"\"");
    if (value.name.size() > kMaxValueNameLength) return reader.Fail("value name too long");
  }
  if (!reader.Expect('=', "= after the value name")) return false;
  if (reader.TakeWord("dword:")) {
    value.type = REG_DWORD;
    if (!reader.Hex32(&value.number)) return false;
  } else {
    if (reader.TakeWord("expand:")) value.type = REG_EXPAND_SZ;
    if (!reader.Peek('"')) return reader.Fail("expected a quoted string, expand:\"...\" or dword:");
    if (!reader.Quoted(&value.text)) return false;
  }
  if (!reader.AtEnd()) return reader.Fail("unexpected text after the value");
  current->Set(std::move(value));
  return true;
}

}  // namespace

std::string FoldName(std::string_view name) {
  return vorn_rt::AsciiLowered(name);
}

bool IsValidKeyName(std::string_view name) {
  if (name.empty() || name.size() > kMaxKeyNameLength) return false;
  for (char c : name) {
    if (c == '\\' || IsControlByte(static_cast<unsigned char>(c))) return false;
  }
  return true;
}

RegKey* RegKey::Find(std::string_view child) const {
  auto it = subkeys.find(FoldName(child));
  return it == subkeys.end() ? nullptr : it->second.get();
}

RegKey& RegKey::Child(std::string_view child) {
  std::unique_ptr<RegKey>& slot = subkeys[FoldName(child)];
  if (!slot) slot = std::make_unique<RegKey>(std::string(child));
  return *slot;
}

void RegKey::Set(RegValue value) {
  auto it = values.find(FoldName(value.name));
  if (it != values.end()) {
    value.name = it->second.name;
    it->second = std::move(value);
  } else {
    std::string folded = FoldName(value.name);
    values.emplace(std::move(folded), std::move(value));
  }
}

const RegValue* RegKey::FindValue(std::string_view valueName) const {
  auto it = values.find(FoldName(valueName));
  return it == values.end() ? nullptr : &it->second;
}

bool RegKey::Equals(const RegKey& other) const {
  if (name != other.name || values != other.values || subkeys.size() != other.subkeys.size()) {
    return false;
  }
  for (auto a = subkeys.begin(), b = other.subkeys.begin(); a != subkeys.end(); ++a, ++b) {
    if (a->first != b->first || !a->second->Equals(*b->second)) return false;
  }
  return true;
}

RegistryTree::RegistryTree() {
  for (int root = 0; root < kRootCount; ++root) {
    roots[root] = std::make_unique<RegKey>(std::string(kRootNames[root]));
  }
}

bool RegistryTree::Equals(const RegistryTree& other) const {
  for (int root = 0; root < kRootCount; ++root) {
    if (!roots[root]->Equals(*other.roots[root])) return false;
  }
  return true;
}

std::string_view RootName(int root) {
  return root >= 0 && root < kRootCount ? kRootNames[root] : std::string_view();
}

bool ParseRegistryText(std::string_view text, RegistryTree* tree, ParseError* error) {
  *tree = RegistryTree();
  RegKey* current = nullptr;
  size_t lineNumber = 0;
  bool sawHeader = false;
  std::string message;
  while (!text.empty() || !sawHeader) {
    const size_t end = text.find('\n');
    const std::string_view raw = text.substr(0, end);
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    ++lineNumber;
    const std::string_view line = Trim(raw);
    bool ok = true;
    if (!sawHeader) {
      ok = line == kRegistryHeader;
      if (!ok) message = "the first line must be \"" + std::string(kRegistryHeader) + "\"";
      sawHeader = true;
    } else if (line.empty() || line.front() == ';') {
      continue;
    } else if (line.front() == '[') {
      ok = ReadSection(line, tree, &current, &message);
    } else if (line.front() == '@' || line.front() == '"') {
      if (!current) {
        ok = false;
        message = "a value before the first section";
      } else {
        ok = ReadValue(line, current, &message);
      }
    } else {
      ok = false;
      message = "expected a [section], a value or a ; comment";
    }
    if (!ok) {
      *tree = RegistryTree();
      error->line = lineNumber;
      error->message = std::move(message);
      return false;
    }
  }
  return true;
}

std::string FormatRegistryText(const RegistryTree& tree) {
  std::string out(kRegistryHeader);
  out += '\n';
  for (int root = 0; root < kRootCount; ++root) {
    std::string path(kRootNames[root]);
    AppendKey(out, *tree.roots[root], path, true);
  }
  return out;
}

}  // namespace vorn_rt
