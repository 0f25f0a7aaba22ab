// How the tests reach the MIME library's message class.
#pragma once

#include <string>

#include "platform/mime.h"
#include "runtime/com_ptr.h"

namespace mime_test {

// The built library's path.
std::string LibraryPath();

// A new, empty message object of the library.
ComPtr<IMimeMessage> NewMessage();

// A new message loaded from `text`; null (with a test failure) when Load
// fails.
ComPtr<IMimeMessage> LoadMessage(const std::string& text);

}  // namespace mime_test
