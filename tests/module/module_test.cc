#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <fstream>
#include <set>
#include <sstream>
#include <string>

#include "control/identifiers.h"
#include "platform/dialog.h"
#include "platform/registry.h"
#include "platform/runtime.h"
#include "platform/typelib.h"
#include "platform/version.h"
#include "tests/control/control_test_support.h"
#include "tests/support/temp_root.h"

namespace {

using namespace control_test;

std::string ModulePath() { return vorn_test::BinDir() + "/VORNOUTLOOKEXPRESS.OCX"; }

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

std::string Replace(std::string text, const std::string& from, const std::string& to) {
  for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
    text.replace(at, from.size(), to);
  }
  return text;
}

// Output and exit status of a shell command.
std::pair<std::string, int> RunCommand(const std::string& command) {
  FILE* pipe = popen((command + " 2>&1").c_str(), "r");
  std::string out;
  char buffer[512];
  while (pipe && fgets(buffer, sizeof buffer, pipe)) out += buffer;
  const int status = pipe ? pclose(pipe) : -1;
  return {out, WIFEXITED(status) ? WEXITSTATUS(status) : -1};
}

// The module loaded into this process, with its entry points.
class Module {
 public:
  Module() : handle_(LoadLibraryA(ModulePath().c_str())) {}
  ~Module() {
    if (handle_) FreeLibrary(handle_);
  }
  HMODULE handle() const { return handle_; }
  HRESULT Call(const char* entry) const {
    auto f = reinterpret_cast<HRESULT (*)()>(GetProcAddress(handle_, entry));
    return f ? f() : E_NOTIMPL;
  }

 private:
  HMODULE handle_;
};

bool KeyExists(const std::string& path) {
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) {
    return false;
  }
  RegCloseKey(key);
  return true;
}

TEST(Module, ExportsExactlyTheFourEntryPoints) {
  auto [out, status] = RunCommand("nm -D --defined-only '" + ModulePath() + "'");
  ASSERT_EQ(status, 0) << out;
  std::set<std::string> names;
  std::istringstream lines(out);
  std::string address, kind, name;
  while (lines >> address >> kind >> name) names.insert(name);
  EXPECT_EQ(names, (std::set<std::string>{"DllCanUnloadNow", "DllGetClassObject",
                                          "DllRegisterServer", "DllUnregisterServer"}));
}

TEST(Module, RegistersServesAndUnregistersThroughTheRegistry) {
  vorn_test::TempRoot root;
  FakeSession session;  // the store and MIME classes the control's session opens
  ASSERT_EQ(CoInitialize(nullptr) >= 0, true);
  Module module;
  ASSERT_NE(module.handle(), nullptr);
  ASSERT_EQ(module.Call("DllRegisterServer"), S_OK);

  // The registry file, as text, with the build folder abstracted.
  const std::string golden =
      ReadFile(vorn_test::SourceDir() + "/tests/module/golden/registry_after_register.reg");
  EXPECT_EQ(Replace(ReadFile(root.path() + "/registry.reg"), vorn_test::BinDir(), "@BIN@"),
            golden);

  {
    CLSID clsid{};
    ASSERT_EQ(CLSIDFromProgID(kControlProgId, &clsid), S_OK);
    EXPECT_EQ(clsid, CLSID_VornOutlookExpress);
    ComPtr<IDispatch> control;
    ASSERT_EQ(CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch,
                               control.PutVoid()),
              S_OK);
    EXPECT_EQ(module.Call("DllCanUnloadNow"), S_FALSE);
    CallResult init = Call(control.Get(), "InitControl");
    ASSERT_EQ(init.hr, S_OK);
    EXPECT_EQ(init.value.boolVal, VARIANT_TRUE);
    CallResult count = Call(control.Get(), "GetFolderCount");
    EXPECT_EQ(count.value.lVal, 5);
    CallResult name = Call(control.Get(), "GetFolderName", {Long(0)});
    EXPECT_EQ(Utf8(name.value.bstrVal), "Inbox");
    // The registered type library answers for the control.
    ComPtr<ITypeLib> lib;
    ASSERT_EQ(LoadRegTypeLib(LIBID_VORNOUTLOOKEXPRESSLib, 1, 0, 0, lib.Put()), S_OK);
    EXPECT_EQ(lib->GetTypeInfoCount(), 5u);
  }
  EXPECT_EQ(module.Call("DllCanUnloadNow"), S_OK);
  {
    ComPtr<IClassFactory> factory;
    ASSERT_EQ(CoGetClassObject(CLSID_VornOutlookExpressPropPage, CLSCTX_INPROC_SERVER, nullptr,
                               IID_IClassFactory, factory.PutVoid()),
              S_OK);
    ASSERT_EQ(factory->LockServer(TRUE), S_OK);
    factory = nullptr;
    EXPECT_EQ(module.Call("DllCanUnloadNow"), S_FALSE);  // locked
    ASSERT_EQ(CoGetClassObject(CLSID_VornOutlookExpressPropPage, CLSCTX_INPROC_SERVER, nullptr,
                               IID_IClassFactory, factory.PutVoid()),
              S_OK);
    factory->LockServer(FALSE);
    ComPtr<IPropertyPage> page;
    ASSERT_EQ(factory->CreateInstance(nullptr, IID_IPropertyPage, page.PutVoid()), S_OK);
    ComPtr<IUnknown> aggregated;
    EXPECT_EQ(factory->CreateInstance(page.Get(), IID_IUnknown, aggregated.PutVoid()),
              CLASS_E_NOAGGREGATION);
  }
  EXPECT_EQ(module.Call("DllCanUnloadNow"), S_OK);

  ASSERT_EQ(module.Call("DllUnregisterServer"), S_OK);
  const std::string after = ReadFile(root.path() + "/registry.reg");
  for (const char* written : {"55AD47E4", "EC51468C", "BB55FF47", "1C47E3C0", "0C9EB2D7",
                              "VORNOUTLOOKEXPRESS"}) {
    EXPECT_EQ(after.find(written), std::string::npos) << written;
  }
  ComPtr<IDispatch> gone;
  EXPECT_EQ(CoCreateInstance(CLSID_VornOutlookExpress, nullptr, CLSCTX_INPROC_SERVER,
                             IID_IDispatch, gone.PutVoid()),
            REGDB_E_CLASSNOTREG);
  // Nothing left to unregister: the first step fails, the rest is not tried.
  EXPECT_EQ(module.Call("DllUnregisterServer"), SELFREG_E_TYPELIB);
}

TEST(Module, UnregisteringLeavesAProgIdThatNamesAnotherClass) {
  vorn_test::TempRoot root;
  Module module;
  ASSERT_NE(module.handle(), nullptr);
  ASSERT_EQ(module.Call("DllRegisterServer"), S_OK);
  // Another library has since registered its own class under the ProgID.
  const std::string other = "{0F1E2D3C-4B5A-6978-8796-A5B4C3D2E1F0}";
  HKEY key = nullptr;
  ASSERT_EQ(RegOpenKeyExA(HKEY_CLASSES_ROOT, (std::string(kControlProgId) + "\\CLSID").c_str(),
                          0, KEY_ALL_ACCESS, &key),
            ERROR_SUCCESS);
  ASSERT_EQ(RegSetValueExA(key, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(other.c_str()),
                           static_cast<DWORD>(other.size() + 1)),
            ERROR_SUCCESS);
  RegCloseKey(key);

  ASSERT_EQ(module.Call("DllUnregisterServer"), S_OK);
  EXPECT_FALSE(KeyExists("CLSID\\{55AD47E4-2535-4F8A-817C-4EDDF342617B}"));
  CLSID clsid{};
  ASSERT_EQ(CLSIDFromProgID(kControlProgId, &clsid), S_OK) << "the other class's ProgID is kept";
  CLSID expected{};
  ASSERT_EQ(CLSIDFromString(other.c_str(), &expected), S_OK);
  EXPECT_EQ(clsid, expected);
}

TEST(Module, UnwritableRegistryRegistersNoClass) {
  vorn_test::TempRoot root;
  // The registry is replaced through a temporary file; a folder in its place
  // makes every write fail while reading still works.
  ASSERT_EQ(mkdir((root.path() + "/registry.reg.tmp").c_str(), 0700), 0);
  Module module;
  ASSERT_NE(module.handle(), nullptr);
  EXPECT_EQ(module.Call("DllRegisterServer"), SELFREG_E_TYPELIB);
  EXPECT_FALSE(KeyExists("CLSID\\{55AD47E4-2535-4F8A-817C-4EDDF342617B}"));
  EXPECT_FALSE(KeyExists("CLSID\\{EC51468C-0E66-406E-9A08-EB9809F6D525}"));
  EXPECT_FALSE(KeyExists(kControlProgId));
}

TEST(Module, CarriesItsResources) {
  Module module;
  HMODULE m = module.handle();
  ASSERT_NE(m, nullptr);
  struct Text {
    UINT id;
    const char* text;
  };
  for (const Text& t : {Text{1, "VornOutlookExpress Control"},
                        Text{2, "VornOutlookExpress Property Page"}, Text{200, "General"}}) {
    char buffer[128];
    EXPECT_GT(LoadStringA(m, t.id, buffer, sizeof buffer), 0) << t.id;
    EXPECT_STREQ(buffer, t.text);
  }
  HBITMAP bitmap = LoadBitmapA(m, MAKEINTRESOURCEA(1));
  ASSERT_NE(bitmap, nullptr);
  BITMAP info{};
  ASSERT_EQ(GetObjectA(bitmap, sizeof info, &info), static_cast<int>(sizeof info));
  EXPECT_EQ(info.bmWidth, 16);
  EXPECT_EQ(info.bmHeight, 16);
  EXPECT_EQ(info.bmBitsPixel, 24);
  DeleteObject(bitmap);
  HICON icon = LoadIconA(m, MAKEINTRESOURCEA(1));
  ASSERT_NE(icon, nullptr);
  DestroyIcon(icon);
  EXPECT_NE(FindResourceA(m, MAKEINTRESOURCEA(1), RT_DIALOG), nullptr);
  EXPECT_NE(FindResourceA(m, MAKEINTRESOURCEA(200), RT_DIALOG), nullptr);
  EXPECT_NE(FindResourceA(m, MAKEINTRESOURCEA(1), "TYPELIB"), nullptr);

  const std::string path = ModulePath();
  const DWORD size = GetFileVersionInfoSizeA(path.c_str(), nullptr);
  ASSERT_GT(size, 0u);
  std::vector<BYTE> block(size);
  ASSERT_TRUE(GetFileVersionInfoA(path.c_str(), 0, size, block.data()));
  void* value = nullptr;
  UINT length = 0;
  ASSERT_TRUE(VerQueryValueA(block.data(), "\\", &value, &length));
  const auto* fixed = static_cast<const VS_FIXEDFILEINFO*>(value);
  EXPECT_EQ(fixed->dwSignature, VS_FFI_SIGNATURE);
  EXPECT_EQ(fixed->dwFileVersionMS, 0x00010000u);
  EXPECT_EQ(fixed->dwFileVersionLS, 0x00000001u);
  EXPECT_EQ(fixed->dwProductVersionLS, 0x00000001u);
  EXPECT_EQ(fixed->dwFileType, VFT_DLL);
  EXPECT_EQ(fixed->dwFileOS, VOS__WINDOWS32);
  ASSERT_TRUE(VerQueryValueA(block.data(), "\\VarFileInfo\\Translation", &value, &length));
  EXPECT_EQ(*static_cast<DWORD*>(value), 0x04B00409u);
  struct Value {
    const char* key;
    const char* text;
  };
  for (const Value& v : {Value{"FileDescription", "VornOutlookExpress ActiveX Control Module"},
                         Value{"ProductName", "VornOutlookExpress ActiveX Control Module"},
                         Value{"InternalName", "VornOutlookExpress"},
                         Value{"OriginalFilename", "VornOutlookExpress.OCX"},
                         Value{"FileVersion", "1, 0, 0, 1"}, Value{"OLESelfRegister", ""},
                         Value{"Comments", ""}, Value{"SpecialBuild", ""}}) {
    const std::string query = std::string("\\StringFileInfo\\040904b0\\") + v.key;
    ASSERT_TRUE(VerQueryValueA(block.data(), query.c_str(), &value, &length)) << v.key;
    EXPECT_STREQ(static_cast<const char*>(value), v.text) << v.key;
  }
  EXPECT_FALSE(VerQueryValueA(block.data(), "\\StringFileInfo\\040904b0\\Nothing", &value,
                              &length));
  EXPECT_EQ(GetFileVersionInfoSizeA("/nonexistent/library.so", nullptr), 0u);
}

TEST(Vornreg, RegistersUnregistersAndReportsEachLibrary) {
  vorn_test::TempRoot root;
  const std::string vornreg = "VORN_ROOT='" + root.path() + "' '" + vorn_test::BinDir() + "/vornreg' ";
  const std::string ocx = "'" + ModulePath() + "'";
  auto [registered, status] = RunCommand(vornreg + ocx);
  EXPECT_EQ(status, 0) << registered;
  EXPECT_NE(registered.find("DllRegisterServer 0x00000000 S_OK"), std::string::npos) << registered;
  EXPECT_NE(ReadFile(root.path() + "/registry.reg").find("VORNOUTLOOKEXPRESS"), std::string::npos);

  auto [version, versionStatus] = RunCommand(vornreg + "--version " + ocx);
  EXPECT_EQ(versionStatus, 0);
  EXPECT_NE(version.find("ProductName: VornOutlookExpress ActiveX Control Module"),
            std::string::npos) << version;
  EXPECT_NE(version.find("FileVersion (fixed): 1.0.0.1"), std::string::npos) << version;

  auto [unregistered, unStatus] = RunCommand(vornreg + "-u " + ocx);
  EXPECT_EQ(unStatus, 0) << unregistered;
  // Twice, and with a library that does not exist: one line each, failure.
  auto [again, againStatus] = RunCommand(vornreg + "-u " + ocx + " /nonexistent/lib.so");
  EXPECT_EQ(againStatus, 1);
  EXPECT_NE(again.find("0x80040200 SELFREG_E_TYPELIB"), std::string::npos) << again;
  EXPECT_NE(again.find("/nonexistent/lib.so: DllUnregisterServer 0x800401F8"), std::string::npos)
      << again;
  EXPECT_EQ(RunCommand(vornreg).second, 2);  // no file: usage
}

}  // namespace
