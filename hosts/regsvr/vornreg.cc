// vornreg: calls DllRegisterServer or DllUnregisterServer of one or more
// self-registering libraries, in the platform root named by VORN_ROOT, or
// prints a library's version resource.

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/message_text.h"
#include "platform/registry.h"
#include "platform/runtime.h"
#include "platform/version.h"
#include "runtime/output_check.h"

namespace {

constexpr char kUsage[] =
    "usage: vornreg FILE...           register each library\n"
    "       vornreg -u FILE...        unregister each library\n"
    "       vornreg --version FILE    print a library's version resource\n"
    "       vornreg --set KEY NAME VALUE\n"
    "                                 set a registry value (VALUE dword:N for a\n"
    "                                 number, any other text for a string); KEY\n"
    "                                 starts with HKEY_CURRENT_USER,\n"
    "                                 HKEY_LOCAL_MACHINE or HKEY_CLASSES_ROOT\n"
    "       vornreg --help\n"
    "Libraries are registered in the platform root named by VORN_ROOT.\n"
    "Each library gets one line with its result code and what it means; the\n"
    "exit status is 1 when any failed or standard output cannot be written.\n"
    "--set writes nothing when the value is already there, and says so.\n";

std::string Meaning(HRESULT hr) {
  char text[256];
  if (FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                     static_cast<DWORD>(hr), 0, text, sizeof text, nullptr) > 0) {
    return text;
  }
  return "unknown result";
}

// The library's full path, so that it registers where it really is.
std::string FullPath(const char* file) {
  char resolved[PATH_MAX];
  return realpath(file, resolved) ? std::string(resolved) : std::string(file);
}

// Loads `file` and calls its `entry`. The result code, or the loader's.
HRESULT CallEntry(const std::string& file, const char* entry) {
  HMODULE module = LoadLibraryA(file.c_str());
  if (!module) return CO_E_DLLNOTFOUND;
  auto function = reinterpret_cast<LPFNREGISTERSERVER>(GetProcAddress(module, entry));
  const HRESULT hr = function ? function() : CO_E_ERRORINDLL;
  FreeLibrary(module);
  return hr;
}

int Register(const std::vector<const char*>& files, bool unregister) {
  const char* entry = unregister ? "DllUnregisterServer" : "DllRegisterServer";
  bool failed = false;
  for (const char* file : files) {
    const HRESULT hr = CallEntry(FullPath(file), entry);
    std::printf("%s: %s 0x%08X %s\n", file, entry, static_cast<unsigned>(hr),
                Meaning(hr).c_str());
    if (FAILED(hr)) failed = true;
  }
  std::fflush(stdout);
  return failed ? 1 : 0;
}

std::string VersionText(DWORD ms, DWORD ls) {
  return std::to_string(ms >> 16) + "." + std::to_string(ms & 0xFFFF) + "." +
         std::to_string(ls >> 16) + "." + std::to_string(ls & 0xFFFF);
}

int PrintVersion(const char* file) {
  const std::string path = FullPath(file);
  const DWORD size = GetFileVersionInfoSizeA(path.c_str(), nullptr);
  std::vector<BYTE> block(size);
  if (size == 0 || !GetFileVersionInfoA(path.c_str(), 0, size, block.data())) {
    std::fprintf(stderr, "vornreg: %s has no version resource\n", file);
    return 1;
  }
  void* value = nullptr;
  UINT length = 0;
  VerQueryValueA(block.data(), "\\", &value, &length);
  const auto* fixed = static_cast<const VS_FIXEDFILEINFO*>(value);
  std::printf("FileVersion (fixed): %s\n",
              VersionText(fixed->dwFileVersionMS, fixed->dwFileVersionLS).c_str());
  std::printf("ProductVersion (fixed): %s\n",
              VersionText(fixed->dwProductVersionMS, fixed->dwProductVersionLS).c_str());
  std::printf("FileOS: 0x%08X\n", static_cast<unsigned>(fixed->dwFileOS));
  std::printf("FileType: 0x%08X%s\n", static_cast<unsigned>(fixed->dwFileType),
              fixed->dwFileType == VFT_DLL ? " (DLL)" : "");
  VerQueryValueA(block.data(), "\\VarFileInfo\\Translation", &value, &length);
  DWORD translation = 0;
  std::memcpy(&translation, value, sizeof translation);
  char table[16];
  std::snprintf(table, sizeof table, "%04X%04X", translation & 0xFFFF, translation >> 16);
  std::printf("Translation: %s\n", table);
  const char* keys[] = {"Comments",       "CompanyName",     "FileDescription",
                        "FileVersion",    "InternalName",    "LegalCopyright",
                        "LegalTrademarks", "OLESelfRegister", "OriginalFilename",
                        "PrivateBuild",   "ProductName",     "ProductVersion",
                        "SpecialBuild"};
  for (const char* key : keys) {
    const std::string query = std::string("\\StringFileInfo\\") + table + "\\" + key;
    if (VerQueryValueA(block.data(), query.c_str(), &value, &length)) {
      std::printf("%s: %s\n", key, static_cast<const char*>(value));
    }
  }
  return 0;
}

// Sets one registry value unless it already holds `text`.
int SetValue(const std::string& path, const char* name, const std::string& text) {
  const struct {
    const char* name;
    HKEY key;
  } roots[] = {{"HKEY_CURRENT_USER", HKEY_CURRENT_USER},
               {"HKEY_LOCAL_MACHINE", HKEY_LOCAL_MACHINE},
               {"HKEY_CLASSES_ROOT", HKEY_CLASSES_ROOT}};
  HKEY root = nullptr;
  std::string subKey;
  for (const auto& r : roots) {
    const std::string prefix = std::string(r.name) + "\\";
    if (path.compare(0, prefix.size(), prefix) == 0) {
      root = r.key;
      subKey = path.substr(prefix.size());
    }
  }
  if (!root || subKey.empty()) {
    std::fprintf(stderr, "vornreg: %s is not a key below a root key\n", path.c_str());
    return 2;
  }
  DWORD type = REG_SZ;
  std::vector<BYTE> data(text.begin(), text.end());
  data.push_back(0);
  if (text.compare(0, 6, "dword:") == 0) {
    char* end = nullptr;
    const unsigned long number = std::strtoul(text.c_str() + 6, &end, 0);
    if (text.size() == 6 || *end != '\0' || number > 0xFFFFFFFFul) {
      std::fprintf(stderr, "vornreg: %s is not a 32-bit number\n", text.c_str());
      return 2;
    }
    type = REG_DWORD;
    const DWORD value = static_cast<DWORD>(number);
    data.assign(reinterpret_cast<const BYTE*>(&value),
                reinterpret_cast<const BYTE*>(&value) + sizeof value);
  }
  HKEY key = nullptr;
  LSTATUS status = RegCreateKeyExA(root, subKey.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                                   KEY_ALL_ACCESS, nullptr, &key, nullptr);
  if (status == ERROR_SUCCESS) {
    DWORD oldType = 0;
    std::vector<BYTE> old(data.size() + 1);
    DWORD size = static_cast<DWORD>(old.size());
    const bool same = RegQueryValueExA(key, name, nullptr, &oldType, old.data(), &size) ==
                          ERROR_SUCCESS &&
                      oldType == type && size == data.size() &&
                      std::equal(data.begin(), data.end(), old.begin());
    if (same) {
      RegCloseKey(key);
      std::printf("%s\\%s: unchanged\n", path.c_str(), name);
      return 0;
    }
    status = RegSetValueExA(key, name, 0, type, data.data(), static_cast<DWORD>(data.size()));
    RegCloseKey(key);
  }
  if (status != ERROR_SUCCESS) {
    std::fprintf(stderr, "vornreg: cannot set %s\\%s (error %ld)\n", path.c_str(), name,
                 static_cast<long>(status));
    return 1;
  }
  std::printf("%s\\%s: set\n", path.c_str(), name);
  return 0;
}

int Run(int argc, char** argv) {
  if (argc >= 2 && std::string(argv[1]) == "--set") {
    if (argc != 5) {
      std::fputs(kUsage, stderr);
      return 2;
    }
    return SetValue(argv[2], argv[3], argv[4]);
  }
  std::vector<const char*> files;
  bool unregister = false;
  bool version = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    }
    if (arg == "-u") {
      unregister = true;
    } else if (arg == "--version") {
      version = true;
    } else if (!arg.empty() && arg[0] == '-') {
      std::fprintf(stderr, "vornreg: unknown option %s\n%s", argv[i], kUsage);
      return 2;
    } else {
      files.push_back(argv[i]);
    }
  }
  if (files.empty() || (version && (unregister || files.size() != 1))) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  if (version) return PrintVersion(files[0]);
  CoInitialize(nullptr);
  const int status = Register(files, unregister);
  CoUninitialize();
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  int status = Run(argc, argv);
  if (!vorn_rt::FinishOutput(stdout, "vornreg", "standard output", stderr) && status == 0) {
    status = 1;
  }
  return status;
}
