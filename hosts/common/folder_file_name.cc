#include "hosts/common/folder_file_name.h"

#include "runtime/text.h"

namespace vorn_host {
namespace {

bool EndsWithIgnoringCase(std::string_view text, std::string_view suffix) {
  return text.size() >= suffix.size() &&
         vorn_rt::EqualNoCase(text.substr(text.size() - suffix.size()), suffix);
}

bool Reserved(std::string_view name) {
  return name.size() == 3 && (EndsWithIgnoringCase(name, "cur") ||
                              EndsWithIgnoringCase(name, "new") ||
                              EndsWithIgnoringCase(name, "tmp"));
}

}  // namespace

std::string FolderFileName(std::string_view name) {
  size_t suffixDot = std::string_view::npos;
  if (EndsWithIgnoringCase(name, ".mbox")) suffixDot = name.size() - 5;
  if (EndsWithIgnoringCase(name, ".eml")) suffixDot = name.size() - 4;
  bool reserved = Reserved(name);
  std::string file;
  file.reserve(name.size() + 8);
  for (size_t i = 0; i < name.size(); ++i) {
    auto c = static_cast<unsigned char>(name[i]);
    bool escape = c < 0x20 || c == 0x7F || c == '%' || c == '/' || c == '\\' || c == ':' ||
                  c == '*' || c == '?' || c == '"' || c == '<' || c == '>' || c == '|' ||
                  (i == 0 && (c == '.' || reserved)) ||
                  (i + 1 == name.size() && (c == '.' || c == ' ')) || i == suffixDot;
    if (escape) {
      static constexpr char kHex[] = "0123456789ABCDEF";
      file += '%';
      file += kHex[c >> 4];
      file += kHex[c & 15];
    } else {
      file += static_cast<char>(c);
    }
  }
  return file;
}

std::string FolderNameFromFile(std::string_view file) {
  std::string name;
  name.reserve(file.size());
  for (size_t i = 0; i < file.size(); ++i) {
    int high = i + 2 < file.size() && file[i] == '%' ? vorn_rt::HexDigitValue(file[i + 1]) : -1;
    int low = high >= 0 ? vorn_rt::HexDigitValue(file[i + 2]) : -1;
    if (low >= 0) {
      name += static_cast<char>(high * 16 + low);
      i += 2;
    } else {
      name += file[i];
    }
  }
  return name;
}

}  // namespace vorn_host
