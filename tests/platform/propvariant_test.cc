#include <gtest/gtest.h>

#include <cstring>
#include <new>

#include "platform/propvariant.h"

namespace {

// A value that a callee fails to fill is cleared by its caller: every
// pointer member must then be null, not whatever the memory held.
TEST(PropVariantInit, ZeroesEveryMemberOfTheValue) {
  alignas(PROPVARIANT) unsigned char storage[sizeof(PROPVARIANT)];
  std::memset(storage, 0xAB, sizeof(storage));
  auto* value = new (storage) PROPVARIANT;
  PropVariantInit(value);
  EXPECT_EQ(VT_EMPTY, value->vt);
  EXPECT_EQ(nullptr, value->pszVal);
  EXPECT_EQ(0u, value->uhVal);
  for (unsigned char byte : storage) EXPECT_EQ(0, byte);
  value->vt = VT_LPSTR;  // as a caller asking for a string sets it
  EXPECT_EQ(S_OK, PropVariantClear(value));
}

}  // namespace
