// Activation through the registry: component libraries named under
// HKEY_CLASSES_ROOT\CLSID, ProgIDs, and the order against class objects
// registered in process.

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "platform/failure_reason.h"
#include "platform/registry.h"
#include "platform/runtime.h"
#include "runtime/com_ptr.h"
#include "runtime/unknown_impl.h"
#include "tests/runtime/registry_helpers.h"
#include "tests/runtime/test_thing.h"
#include "tests/support/temp_root.h"

namespace {

using vorn_test::SetString;

std::string ServerPath() { return vorn_test::BinDir() + "/vorn_test_server.so"; }

std::string ClsidText(REFCLSID clsid) {
  char text[39];
  StringFromGUID2(clsid, text, sizeof(text));
  return text;
}

LONG RegisterServer(REFCLSID clsid, const std::string& path) {
  const std::string key = "CLSID\\" + ClsidText(clsid) + "\\InprocServer32";
  return SetString(HKEY_CLASSES_ROOT, key.c_str(), nullptr, path);
}

int LiveServerObjects() {
  void* server = dlopen(ServerPath().c_str(), RTLD_LAZY | RTLD_NOLOAD);
  if (!server) return -1;
  auto count = reinterpret_cast<int (*)()>(dlsym(server, "VornTestServerLiveObjects"));
  const int live = count ? count() : -1;
  dlclose(server);
  return live;
}

class LocalFactory final : public IClassFactory {
 public:
  HRESULT QueryInterface(REFIID riid, void** ppv) override {
    return QueryInterfaceAs<IClassFactory>(this, riid, ppv);
  }
  ULONG AddRef() override { return ++refs_; }
  ULONG Release() override { return --refs_; }
  HRESULT CreateInstance(IUnknown*, REFIID, void** ppv) override {
    ++creations_;
    *ppv = nullptr;
    return E_OUTOFMEMORY;  // distinguishable from anything the library answers
  }
  HRESULT LockServer(BOOL) override { return S_OK; }
  int creations_ = 0;
  ULONG refs_ = 0;
};

class InprocServer : public testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(SUCCEEDED(CoInitialize(nullptr))); }
  void TearDown() override { CoUninitialize(); }

  vorn_test::TempRoot root_;
};

TEST_F(InprocServer, LoadsTheRegisteredLibraryAndKeepsItLoaded) {
  ASSERT_EQ(RegisterServer(CLSID_TestServerThing, ServerPath()), 0);
  {
    ComPtr<ITestThing> thing;
    ASSERT_EQ(CoCreateInstance(CLSID_TestServerThing, nullptr, CLSCTX_INPROC_SERVER,
                               IID_ITestThing, thing.PutVoid()),
              S_OK);
    EXPECT_EQ(thing->Answer(), 100);
    EXPECT_EQ(LiveServerObjects(), 1);
    ComPtr<IClassFactory> factory;
    ASSERT_EQ(CoGetClassObject(CLSID_TestServerThing, CLSCTX_INPROC_SERVER | CLSCTX_LOCAL_SERVER,
                               nullptr, IID_IClassFactory, factory.PutVoid()),
              S_OK);
  }
  EXPECT_EQ(LiveServerObjects(), 0);
  // Still mapped after every object is gone.
  EXPECT_NE(LiveServerObjects(), -1);
}

TEST_F(InprocServer, ClassObjectsRegisteredInProcessComeFirst) {
  ASSERT_EQ(RegisterServer(CLSID_TestServerThing, ServerPath()), 0);
  LocalFactory local;
  DWORD cookie = 0;
  ASSERT_EQ(CoRegisterClassObject(CLSID_TestServerThing, &local, CLSCTX_INPROC_SERVER,
                                  REGCLS_MULTIPLEUSE, &cookie),
            S_OK);
  ComPtr<ITestThing> thing;
  EXPECT_EQ(CoCreateInstance(CLSID_TestServerThing, nullptr, CLSCTX_INPROC_SERVER,
                             IID_ITestThing, thing.PutVoid()),
            E_OUTOFMEMORY);
  EXPECT_EQ(local.creations_, 1);
  ASSERT_EQ(CoRevokeClassObject(cookie), S_OK);
  ASSERT_EQ(CoCreateInstance(CLSID_TestServerThing, nullptr, CLSCTX_INPROC_SERVER,
                             IID_ITestThing, thing.PutVoid()),
            S_OK);
  EXPECT_EQ(thing->Answer(), 100);
  EXPECT_EQ(local.refs_, 0u);
}

TEST_F(InprocServer, FailuresHaveTheirOwnCodes) {
  constexpr CLSID kMissingLibrary = MakeGuid("{645BBDD9-FEF5-425C-87A3-FDF27371FA82}");
  constexpr CLSID kNoEntryPoint = MakeGuid("{5DA93B42-ACA7-487F-B44F-7BA7E4A12B31}");
  constexpr CLSID kNoPath = MakeGuid("{0E3C5A41-94D8-4C55-9B51-6B0E2B3C7D10}");
  constexpr CLSID kWrongClass = MakeGuid("{9B8F0C7E-3D2A-4E61-8F5B-1C2D3E4F5A6B}");
  constexpr CLSID kUnknown = MakeGuid("{11111111-2222-3333-4444-555555555555}");
  ASSERT_EQ(RegisterServer(kMissingLibrary, root_.path() + "/missing.so"), 0);
  ASSERT_EQ(RegisterServer(kNoEntryPoint, vorn_test::BinDir() + "/vorn_test_plain.so"), 0);
  ASSERT_EQ(SetString(HKEY_CLASSES_ROOT,
                      ("CLSID\\" + ClsidText(kNoPath) + "\\InprocServer32").c_str(),
                      "ThreadingModel", "Apartment"),
            0);
  ASSERT_EQ(RegisterServer(kWrongClass, ServerPath()), 0);  // the library does not serve it
  auto library = [](const std::string& path, REFCLSID clsid) {
    return "the library " + path + " registered for the class " + ClsidText(clsid);
  };
  auto unknown = [&](REFCLSID clsid) {
    return "the class " + ClsidText(clsid) + " is not registered in " + root_.path() +
           "/registry.reg; register its library with vornreg";
  };
  struct Case {
    const char* what;
    const CLSID* clsid;
    HRESULT expected;
    std::string reason;  // the failure reason the person can act on
  } cases[] = {
      {"unknown class", &kUnknown, REGDB_E_CLASSNOTREG, unknown(kUnknown)},
      {"no library path", &kNoPath, REGDB_E_CLASSNOTREG, unknown(kNoPath)},
      {"library missing", &kMissingLibrary, CO_E_DLLNOTFOUND,
       library(root_.path() + "/missing.so", kMissingLibrary) + " cannot be loaded"},
      {"no DllGetClassObject", &kNoEntryPoint, CO_E_ERRORINDLL,
       library(vorn_test::BinDir() + "/vorn_test_plain.so", kNoEntryPoint) +
           " is not a component library"},
      {"class not in the library", &kWrongClass, CLASS_E_CLASSNOTAVAILABLE, ""},
  };
  for (const Case& c : cases) {
    void* out = reinterpret_cast<void*>(1);
    VornSetFailureReason(nullptr);
    EXPECT_EQ(CoCreateInstance(*c.clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, &out),
              c.expected)
        << c.what;
    char reason[VORN_MAX_FAILURE_REASON + 1] = {};
    VornGetFailureReason(reason, sizeof reason);
    EXPECT_EQ(c.reason, reason) << c.what;
    EXPECT_EQ(out, nullptr) << c.what;
    out = reinterpret_cast<void*>(1);
    EXPECT_EQ(CoGetClassObject(*c.clsid, CLSCTX_INPROC_SERVER, nullptr, IID_IClassFactory, &out),
              c.expected)
        << c.what;
    EXPECT_EQ(out, nullptr) << c.what;
  }

  ASSERT_EQ(RegisterServer(CLSID_TestServerThing, ServerPath()), 0);
  std::thread([] {
    void* out = reinterpret_cast<void*>(1);
    EXPECT_EQ(CoCreateInstance(CLSID_TestServerThing, nullptr, CLSCTX_INPROC_SERVER,
                               IID_IUnknown, &out),
              CO_E_NOTINITIALIZED);
    EXPECT_EQ(out, nullptr);
  }).join();

  // A registry that cannot be read is not mistaken for an unknown class.
  vorn_test::WriteFileBytes(root_.path() + "/registry.reg", "not a registry\n");
  testing::internal::CaptureStderr();
  void* out = nullptr;
  EXPECT_EQ(CoCreateInstance(kUnknown, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, &out),
            REGDB_E_READREGDB);
  CLSID clsid{};
  EXPECT_EQ(CLSIDFromProgID("Vorn.TestThing.1", &clsid), REGDB_E_READREGDB);
  testing::internal::GetCapturedStderr();
}

TEST_F(InprocServer, ProgIdsResolveThroughTheRegistry) {
  const std::string clsidText = ClsidText(CLSID_TestServerThing);
  ASSERT_EQ(SetString(HKEY_CLASSES_ROOT, "Vorn.TestThing.1\\CLSID", nullptr, clsidText), 0);
  ASSERT_EQ(SetString(HKEY_CLASSES_ROOT, "Vorn.Broken.1\\CLSID", nullptr, "not a clsid"), 0);
  ASSERT_EQ(SetString(HKEY_CLASSES_ROOT, "Vorn.NoClsid.1", nullptr, "A description"), 0);
  ASSERT_EQ(SetString(HKEY_CLASSES_ROOT, "Vorn.Nested\\Deeper\\CLSID", nullptr, clsidText), 0);
  struct Case {
    const char* progId;
    HRESULT expected;
  } cases[] = {
      {"Vorn.TestThing.1", S_OK},
      {"VORN.TESTTHING.1", S_OK},
      {"{3e3a653f-8353-4a69-927c-ce38930d59d4}", S_OK},
      {"Vorn.Unknown.1", CO_E_CLASSSTRING},
      {"Vorn.Broken.1", CO_E_CLASSSTRING},
      {"Vorn.NoClsid.1", CO_E_CLASSSTRING},
      {"Vorn.Nested\\Deeper", CO_E_CLASSSTRING},
      {"{3e3a653f-8353-4a69-927c-ce38930d59d4", CO_E_CLASSSTRING},
      {"", CO_E_CLASSSTRING},
  };
  for (const Case& c : cases) {
    CLSID clsid{};
    EXPECT_EQ(CLSIDFromProgID(c.progId, &clsid), c.expected) << c.progId;
    if (c.expected == S_OK) {
      EXPECT_TRUE(clsid == CLSID_TestServerThing) << c.progId;
    }
  }
  EXPECT_EQ(CLSIDFromProgID(nullptr, nullptr), E_INVALIDARG);

  // From a ProgID to an object, as a script host does it.
  ASSERT_EQ(RegisterServer(CLSID_TestServerThing, ServerPath()), 0);
  CLSID clsid{};
  ASSERT_EQ(CLSIDFromProgID("Vorn.TestThing.1", &clsid), S_OK);
  ComPtr<ITestThing> thing;
  ASSERT_EQ(CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_ITestThing,
                             thing.PutVoid()),
            S_OK);
  EXPECT_EQ(thing->Answer(), 100);
}

}  // namespace
