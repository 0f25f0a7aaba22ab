// A loadable library carrying the sample type library as its TYPELIB
// resource 1, and a string resource.

#include <iterator>
#include <vector>

#include "runtime/resource_table.h"
#include "tests/runtime/sample_typelib.h"

namespace {

const std::vector<BYTE> kTypeLib = vorn_test::SampleTypeLib();
const char kGreeting[] = "Gr\xC3\xBC\xC3\x9F" "e aus dem Modul";

const RESOURCE_ENTRY kResources[] = {
    {RT_TYPELIB, MAKEINTRESOURCEA(1), kTypeLib.data(), static_cast<DWORD>(kTypeLib.size())},
    {RT_STRING, MAKEINTRESOURCEA(7), kGreeting, sizeof kGreeting - 1},
};
const ResourceTableRegistration kRegistration(kResources, std::size(kResources));

}  // namespace
