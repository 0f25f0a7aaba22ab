// A small type library for the type-library tests: a dispatch interface, an
// event interface using an alias, and a coclass.
#pragma once

#include <vector>

#include "platform/typelib.h"

namespace vorn_test {

constexpr GUID kSampleLibId = MakeGuid("{6C1B2E3A-0D1E-4F55-9A0B-1C2D3E4F5A6B}");
constexpr IID kSampleDispatchId = MakeGuid("{6C1B2E3A-0D1E-4F55-9A0B-1C2D3E4F5A6C}");
constexpr IID kSampleEventsId = MakeGuid("{6C1B2E3A-0D1E-4F55-9A0B-1C2D3E4F5A6D}");
constexpr CLSID kSampleClassId = MakeGuid("{6C1B2E3A-0D1E-4F55-9A0B-1C2D3E4F5A6E}");

// The serialised sample library. `badRef` makes the coclass implement a type
// that does not exist.
std::vector<BYTE> SampleTypeLib(bool badRef = false);

}  // namespace vorn_test
