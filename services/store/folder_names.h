// Folder names: what the store accepts, and the key under which names
// compare and sort whatever their case.
#pragma once

#include <string>
#include <string_view>

#include "platform/types.h"

namespace vorn_store {

// S_OK for a name of 1 to 255 bytes of valid UTF-8 without control
// characters (U+0000 to U+001F, U+007F to U+009F) that holds more than white
// space (a name that would be empty once trimmed names nothing a person can
// see); E_INVALIDARG otherwise.
HRESULT CheckFolderName(std::string_view name);

// The comparison key of a valid name: case-folded and composed, so that
// "INBOX", "Inbox" and "inbox" (and composed and decomposed accents) share
// one key. Keys compare byte by byte.
std::string FolderNameKey(std::string_view name);

}  // namespace vorn_store
