#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "platform/runtime.h"
#include "runtime/com_ptr.h"
#include "runtime/unknown_impl.h"
#include "tests/runtime/test_thing.h"

namespace {

class Thing final : public ITestThing {
 public:
  explicit Thing(int answer) : answer_(answer) {}
  HRESULT QueryInterface(REFIID riid, void** ppv) override {
    return QueryInterfaceAs<ITestThing>(this, riid, ppv);
  }
  ULONG AddRef() override { return refs_.AddRef(); }
  ULONG Release() override { return refs_.Release([this] { delete this; }); }
  int Answer() override { return answer_; }

 private:
  RefCount<> refs_{0};
  int answer_;
};

// A class factory on the stack whose references and creations are counted.
class CountingFactory final : public IClassFactory {
 public:
  explicit CountingFactory(int answer) : answer_(answer) {}
  HRESULT QueryInterface(REFIID riid, void** ppv) override {
    return QueryInterfaceAs<IClassFactory>(this, riid, ppv);
  }
  ULONG AddRef() override { return ++refs_; }
  ULONG Release() override { return --refs_; }
  HRESULT CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override {
    ++creations_;
    if (outer) return CLASS_E_NOAGGREGATION;
    auto* thing = new Thing(answer_);
    thing->AddRef();
    const HRESULT hr = thing->QueryInterface(riid, ppv);
    thing->Release();
    return hr;
  }
  HRESULT LockServer(BOOL) override { return S_OK; }

  ULONG refs() const { return refs_; }
  int creations() const { return creations_; }

 private:
  std::atomic<ULONG> refs_{0};
  std::atomic<int> creations_{0};
  int answer_;
};

// Runs `body` on a new thread, which starts uninitialised.
template <class F>
void OnNewThread(F body) {
  std::thread thread(body);
  thread.join();
}

class ComActivation : public testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(SUCCEEDED(CoInitialize(nullptr))); }
  void TearDown() override { CoUninitialize(); }
};

TEST_F(ComActivation, InitialisationIsCountedPerThread) {
  OnNewThread([] {
    EXPECT_EQ(CoInitialize(nullptr), S_OK);
    EXPECT_EQ(CoInitialize(nullptr), S_FALSE);
    CoUninitialize();
    ComPtr<ITestThing> thing;
    // Still initialised once: the class is simply unknown.
    EXPECT_EQ(CoCreateInstance(CLSID_TestLocalThing, nullptr, CLSCTX_INPROC_SERVER,
                               IID_ITestThing, thing.PutVoid()),
              REGDB_E_CLASSNOTREG);
    CoUninitialize();
    EXPECT_EQ(CoCreateInstance(CLSID_TestLocalThing, nullptr, CLSCTX_INPROC_SERVER,
                               IID_ITestThing, thing.PutVoid()),
              CO_E_NOTINITIALIZED);
    CoUninitialize();  // one too many does no harm
    EXPECT_EQ(CoInitialize(nullptr), S_OK);
    CoUninitialize();
  });
  int marker = 0;
  EXPECT_EQ(CoInitialize(&marker), E_INVALIDARG);
}

TEST_F(ComActivation, UninitialisedThreadGetsNothing) {
  CountingFactory factory(1);
  DWORD cookie = 0;
  ASSERT_EQ(CoRegisterClassObject(CLSID_TestLocalThing, &factory, CLSCTX_INPROC_SERVER,
                                  REGCLS_MULTIPLEUSE, &cookie),
            S_OK);
  OnNewThread([&] {
    void* out = reinterpret_cast<void*>(1);
    EXPECT_EQ(CoCreateInstance(CLSID_TestLocalThing, nullptr, CLSCTX_INPROC_SERVER,
                               IID_ITestThing, &out),
              CO_E_NOTINITIALIZED);
    EXPECT_EQ(out, nullptr);
    out = reinterpret_cast<void*>(1);
    EXPECT_EQ(CoGetClassObject(CLSID_TestLocalThing, CLSCTX_INPROC_SERVER, nullptr,
                               IID_IClassFactory, &out),
              CO_E_NOTINITIALIZED);
    EXPECT_EQ(out, nullptr);
    DWORD other = 5;
    EXPECT_EQ(CoRegisterClassObject(CLSID_TestLocalThing, &factory, CLSCTX_INPROC_SERVER,
                                    REGCLS_MULTIPLEUSE, &other),
              CO_E_NOTINITIALIZED);
    EXPECT_EQ(other, 0u);
  });
  EXPECT_EQ(factory.creations(), 0);
  EXPECT_EQ(CoRevokeClassObject(cookie), S_OK);
  EXPECT_EQ(factory.refs(), 0u);
}

TEST_F(ComActivation, RegisteredClassObjectServesUntilRevoked) {
  CountingFactory factory(11);
  DWORD cookie = 0;
  ASSERT_EQ(CoRegisterClassObject(CLSID_TestLocalThing, &factory, CLSCTX_INPROC_SERVER,
                                  REGCLS_MULTIPLEUSE, &cookie),
            S_OK);
  EXPECT_NE(cookie, 0u);
  EXPECT_EQ(factory.refs(), 1u);  // the runtime holds one reference

  for (DWORD context : {CLSCTX_INPROC_SERVER, CLSCTX_INPROC_SERVER | CLSCTX_LOCAL_SERVER,
                        CLSCTX_ALL}) {
    ComPtr<ITestThing> thing;
    ASSERT_EQ(CoCreateInstance(CLSID_TestLocalThing, nullptr, context, IID_ITestThing,
                               thing.PutVoid()),
              S_OK);
    EXPECT_EQ(thing->Answer(), 11);
  }
  ComPtr<IClassFactory> classObject;
  ASSERT_EQ(CoGetClassObject(CLSID_TestLocalThing, CLSCTX_INPROC_SERVER, nullptr,
                             IID_IClassFactory, classObject.PutVoid()),
            S_OK);
  EXPECT_EQ(classObject.Get(), &factory);
  classObject = nullptr;
  EXPECT_EQ(factory.refs(), 1u);
  EXPECT_EQ(factory.creations(), 3);

  EXPECT_EQ(CoRevokeClassObject(cookie), S_OK);
  EXPECT_EQ(factory.refs(), 0u);
  EXPECT_EQ(CoRevokeClassObject(cookie), E_INVALIDARG);
  ComPtr<ITestThing> thing;
  EXPECT_EQ(CoCreateInstance(CLSID_TestLocalThing, nullptr, CLSCTX_INPROC_SERVER, IID_ITestThing,
                             thing.PutVoid()),
            REGDB_E_CLASSNOTREG);
}

TEST_F(ComActivation, RefusalsLeaveNoObjectBehind) {
  CountingFactory factory(3);
  DWORD cookie = 0;
  ASSERT_EQ(CoRegisterClassObject(CLSID_TestLocalThing, &factory, CLSCTX_INPROC_SERVER,
                                  REGCLS_MULTIPLEUSE, &cookie),
            S_OK);
  auto* outer = new Thing(0);
  outer->AddRef();
  struct Case {
    const char* what;
    IUnknown* outer;
    DWORD context;
    const IID* iid;
    HRESULT expected;
  } cases[] = {
      {"aggregation", outer, CLSCTX_INPROC_SERVER, &IID_IUnknown, CLASS_E_NOAGGREGATION},
      {"local server only", nullptr, CLSCTX_LOCAL_SERVER, &IID_ITestThing, REGDB_E_CLASSNOTREG},
      {"interface not served", nullptr, CLSCTX_INPROC_SERVER, &IID_IStream, E_NOINTERFACE},
  };
  for (const Case& c : cases) {
    void* out = reinterpret_cast<void*>(1);
    EXPECT_EQ(CoCreateInstance(CLSID_TestLocalThing, c.outer, c.context, *c.iid, &out),
              c.expected)
        << c.what;
    EXPECT_EQ(out, nullptr) << c.what;
  }
  EXPECT_EQ(factory.creations(), 1);  // only the request for a missing interface got there
  void* out = reinterpret_cast<void*>(1);
  EXPECT_EQ(CoGetClassObject(CLSID_TestLocalThing, CLSCTX_INPROC_SERVER, nullptr, IID_IStream,
                             &out),
            E_NOINTERFACE);
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(CoGetClassObject(CLSID_TestLocalThing, CLSCTX_INPROC_SERVER, outer,
                             IID_IClassFactory, &out),
            E_INVALIDARG);
  EXPECT_EQ(CoCreateInstance(CLSID_TestLocalThing, nullptr, CLSCTX_INPROC_SERVER,
                             IID_ITestThing, nullptr),
            E_POINTER);
  DWORD unused = 0;
  EXPECT_EQ(CoRegisterClassObject(CLSID_TestLocalThing, nullptr, CLSCTX_INPROC_SERVER,
                                  REGCLS_MULTIPLEUSE, &unused),
            E_INVALIDARG);
  EXPECT_EQ(CoRevokeClassObject(cookie), S_OK);
  EXPECT_EQ(factory.refs(), 0u);
  outer->Release();
}

TEST_F(ComActivation, NewestRegistrationWins) {
  CountingFactory first(1);
  CountingFactory second(2);
  DWORD firstCookie = 0;
  DWORD secondCookie = 0;
  ASSERT_EQ(CoRegisterClassObject(CLSID_TestLocalThing, &first, CLSCTX_INPROC_SERVER,
                                  REGCLS_MULTIPLEUSE, &firstCookie),
            S_OK);
  ASSERT_EQ(CoRegisterClassObject(CLSID_TestLocalThing, &second, CLSCTX_INPROC_SERVER,
                                  REGCLS_MULTIPLEUSE, &secondCookie),
            S_OK);
  EXPECT_NE(firstCookie, secondCookie);
  auto answer = [] {
    ComPtr<ITestThing> thing;
    if (FAILED(CoCreateInstance(CLSID_TestLocalThing, nullptr, CLSCTX_INPROC_SERVER,
                                IID_ITestThing, thing.PutVoid()))) {
      return -1;
    }
    return thing->Answer();
  };
  EXPECT_EQ(answer(), 2);
  EXPECT_EQ(CoRevokeClassObject(secondCookie), S_OK);
  EXPECT_EQ(answer(), 1);
  EXPECT_EQ(CoRevokeClassObject(firstCookie), S_OK);
  EXPECT_EQ(answer(), -1);
}

TEST_F(ComActivation, ThreadsShareTheClassTable) {
  CountingFactory factory(5);
  DWORD cookie = 0;
  ASSERT_EQ(CoRegisterClassObject(CLSID_TestLocalThing, &factory, CLSCTX_INPROC_SERVER,
                                  REGCLS_MULTIPLEUSE, &cookie),
            S_OK);
  std::vector<std::thread> threads;
  std::atomic<int> served{0};
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      CoInitialize(nullptr);
      for (int i = 0; i < 500; ++i) {
        // Registrations of other classes come and go meanwhile.
        CountingFactory other(9);
        DWORD otherCookie = 0;
        CoRegisterClassObject(CLSID_TestServerThing, &other, CLSCTX_INPROC_SERVER,
                              REGCLS_MULTIPLEUSE, &otherCookie);
        ComPtr<ITestThing> thing;
        if (SUCCEEDED(CoCreateInstance(CLSID_TestLocalThing, nullptr, CLSCTX_INPROC_SERVER,
                                       IID_ITestThing, thing.PutVoid())) &&
            thing->Answer() == 5) {
          ++served;
        }
        CoRevokeClassObject(otherCookie);
      }
      CoUninitialize();
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(served, 2000);
  EXPECT_EQ(CoRevokeClassObject(cookie), S_OK);
  EXPECT_EQ(factory.refs(), 0u);
}

}  // namespace
