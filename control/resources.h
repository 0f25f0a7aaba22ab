// The control module's resources (strings, bitmap, icon, dialogs, type
// library, version), registered with the runtime for whichever library or
// program the control is linked into.
#pragma once

#include <string>

#include "platform/loader.h"

// The handle under which the resources are found (FindResourceA,
// LoadStringA, DialogBoxA, ...).
HMODULE ControlResourceModule();

// String resource `id` as UTF-8; "" when it is missing.
std::string LoadResourceString(WORD id);
