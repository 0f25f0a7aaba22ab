// The tests reach the MIME library the way the store server does: the
// library registers itself in the test program's own root, and messages are
// created with CoCreateInstance through the registry.

#include <gtest/gtest.h>

#include "platform/loader.h"
#include "platform/runtime.h"
#include "tests/services/mime/mime_model.h"
#include "tests/services/mime/mime_test_support.h"
#include "tests/support/temp_root.h"

namespace mime_test {
namespace {

class RegisteredLibrary : public testing::Environment {
 public:
  void SetUp() override {
    HMODULE library = LoadLibraryA(LibraryPath().c_str());
    ASSERT_NE(nullptr, library);
    auto doRegister =
        reinterpret_cast<LPFNREGISTERSERVER>(GetProcAddress(library, "DllRegisterServer"));
    ASSERT_NE(nullptr, doRegister);
    ASSERT_EQ(S_OK, doRegister());
    FreeLibrary(library);
  }
};

const testing::Environment* const kRegistered =
    testing::AddGlobalTestEnvironment(new RegisteredLibrary);

// Initialises the component runtime once on each thread that creates a
// message, and undoes it when the thread ends.
struct ThreadInit {
  ThreadInit() { CoInitialize(nullptr); }
  ~ThreadInit() { CoUninitialize(); }
};

}  // namespace

std::string LibraryPath() { return vorn_test::BinDir() + "/vornmime.so"; }

ComPtr<IMimeMessage> NewMessage() {
  thread_local ThreadInit init;
  ComPtr<IMimeMessage> message;
  EXPECT_EQ(S_OK, CoCreateInstance(CLSID_VornMimeMessage, nullptr, CLSCTX_INPROC_SERVER,
                                   IID_IMimeMessage, message.PutVoid()));
  return message;
}

ComPtr<IMimeMessage> LoadMessage(const std::string& text) {
  ComPtr<IMimeMessage> message = NewMessage();
  ComPtr<IPersistStreamInit> persist;
  if (!message || FAILED(message.As(&persist))) return nullptr;
  HRESULT hr = persist->Load(StreamOf(text).Get());
  EXPECT_EQ(S_OK, hr);
  return SUCCEEDED(hr) ? message : nullptr;
}

}  // namespace mime_test
