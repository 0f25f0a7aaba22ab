// The control module's type library, built from the dispatch and event
// tables and the identifiers.
#pragma once

#include <vector>

#include "platform/typelib.h"

// The library in the serialised form (the module's TYPELIB resource). The
// same bytes on every call.
const std::vector<BYTE>& ControlTypeLibBytes();

// The library read back from those bytes (caller owns *typeLib).
HRESULT LoadControlTypeLib(ITypeLib** typeLib);
