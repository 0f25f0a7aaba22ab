// The tests that link the library's core create its objects directly.

#include <gtest/gtest.h>

#include "services/mime/mime_objects.h"
#include "tests/services/mime/mime_model.h"
#include "tests/services/mime/mime_test_support.h"

namespace mime_test {

ComPtr<IMimeMessage> NewMessage() {
  ComPtr<IMimeMessage> message;
  EXPECT_EQ(S_OK, vorn_mime::CreateMimeMessage(IID_IMimeMessage, message.PutVoid()));
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
