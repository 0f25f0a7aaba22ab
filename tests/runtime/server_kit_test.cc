// The server kit's own promises: a failed registration leaves the registry
// as it was, and no exception leaves a guarded call or a class factory.

#include <gtest/gtest.h>

#include <new>
#include <stdexcept>
#include <string>

#include "runtime/registration_writer.h"
#include "runtime/server_module.h"
#include "runtime/status_guard.h"
#include "tests/runtime/registry_helpers.h"
#include "tests/support/temp_root.h"

namespace {

using vorn_test::GetString;
using vorn_test::ReadFileBytes;
using vorn_test::SetString;

class RegistrationRollback : public testing::Test {
 protected:
  std::string RegistryBytes() { return ReadFileBytes(root_.path() + "/registry.reg"); }
  vorn_test::TempRoot root_;
};

TEST_F(RegistrationRollback, AFailedStepTakesBackEveryKeyAndValueWritten) {
  // What another library registered before: a class key with a name and a
  // server path, which this registration overwrites before it fails.
  ASSERT_EQ(SetString(HKEY_CLASSES_ROOT, "CLSID\\{kit}", "", "Other Class"), ERROR_SUCCESS);
  ASSERT_EQ(SetString(HKEY_CLASSES_ROOT, "CLSID\\{kit}\\InprocServer32", "", "/lib/other.so"),
            ERROR_SUCCESS);
  ASSERT_EQ(SetString(HKEY_LOCAL_MACHINE, "Software\\Kept", "", "kept"), ERROR_SUCCESS);
  const std::string before = RegistryBytes();
  ASSERT_FALSE(before.empty());
  {
    vorn_rt::RegistrationWriter writer;
    ASSERT_TRUE(writer.Write("CLSID\\{kit}", {{"", "Kit Class"}}));
    ASSERT_TRUE(writer.Write("CLSID\\{kit}\\InprocServer32",
                             {{"", "/lib/kit.so"}, {"ThreadingModel", "Both"}}));
    ASSERT_TRUE(writer.Write("Kit.Thing\\Deep\\Down\\CLSID", {{"", "{kit}"}}));
    ASSERT_TRUE(writer.Write(HKEY_LOCAL_MACHINE, "Software\\Kept\\Sub", {{"Path", "/x"}}));
    EXPECT_EQ(GetString(HKEY_CLASSES_ROOT, "CLSID\\{kit}\\InprocServer32", ""), "/lib/kit.so");
    EXPECT_FALSE(writer.Write("Kit.Thing\\\\Bad", {{"", "never"}}));
  }
  EXPECT_EQ(RegistryBytes(), before);
}

TEST_F(RegistrationRollback, CommittedEntriesStayAndUnregistrationToleratesAbsence) {
  const CLSID clsid = MakeGuid("{0E5F7C1A-2B3D-4E5F-8A9B-0C1D2E3F4A5B}");
  {
    vorn_rt::RegistrationWriter writer;
    ASSERT_TRUE(writer.WriteServerClass(clsid, "Kit Class", "/lib/kit.so", "Both"));
    writer.Commit();
  }
  const std::string key = vorn_rt::ClassKeyPath(clsid);
  EXPECT_EQ(GetString(HKEY_CLASSES_ROOT, (key + "\\InprocServer32").c_str(), "ThreadingModel"),
            "Both");
  EXPECT_TRUE(vorn_rt::RemoveServerClass(clsid));
  EXPECT_EQ(GetString(HKEY_CLASSES_ROOT, key.c_str(), "").rfind("<error", 0), 0u);
  EXPECT_TRUE(vorn_rt::RemoveServerClass(clsid)) << "already gone is no failure";
}

TEST(StatusGuard, ExceptionsBecomeResultCodes) {
  struct Case {
    const char* name;
    HRESULT (*body)();
    HRESULT expected;
  };
  const Case cases[] = {
      {"result passes through", [] { return S_FALSE; }, S_FALSE},
      {"failure passes through", [] { return E_INVALIDARG; }, E_INVALIDARG},
      {"allocation failure", []() -> HRESULT { throw std::bad_alloc(); }, E_OUTOFMEMORY},
      {"any other exception", []() -> HRESULT { throw std::runtime_error("x"); }, E_FAIL},
      {"not even an exception type", []() -> HRESULT { throw 7; }, E_FAIL},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(vorn_rt::Guarded(c.body, E_FAIL), c.expected) << c.name;
  }
  EXPECT_EQ(vorn_rt::Guarded([]() -> HRESULT { throw 7; }), E_UNEXPECTED);
}

vorn_rt::ServerModule g_module;

HRESULT CreateThrowing(REFIID, void** ppv) {
  *ppv = &g_module;  // a half-made result must not reach the caller
  throw std::bad_alloc();
}

TEST(StatusGuard, AClassFactoryTurnsACreationExceptionIntoAStatusAndKeepsItsCounts) {
  const CLSID clsid = MakeGuid("{6F1E2D3C-4B5A-4978-8695-A4B3C2D1E0F9}");
  vorn_rt::ClassFactory factory(g_module, clsid, &CreateThrowing);
  IClassFactory* held = nullptr;
  ASSERT_EQ(vorn_rt::GetClassObjectFrom({&factory}, clsid, IID_IClassFactory,
                                        reinterpret_cast<void**>(&held)),
            S_OK);
  EXPECT_EQ(g_module.CanUnloadNow(), S_FALSE);
  void* made = nullptr;
  EXPECT_EQ(held->CreateInstance(nullptr, IID_IUnknown, &made), E_OUTOFMEMORY);
  EXPECT_EQ(made, nullptr);
  EXPECT_EQ(held->LockServer(FALSE), E_UNEXPECTED) << "an unlock without a lock";
  held->Release();
  EXPECT_EQ(g_module.CanUnloadNow(), S_OK);
}

}  // namespace
