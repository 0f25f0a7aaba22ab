#include <gtest/gtest.h>

#include "platform/mime.h"
#include "platform/propvariant.h"
#include "platform/runtime.h"
#include "platform/store.h"
#include "platform/wab.h"

namespace {

TEST(Guid, LiteralFieldsAndEquality) {
  constexpr GUID g = MakeGuid("{E70C92A9-4BFD-11D1-8A95-00C04FB951F3}");
  static_assert(g.Data1 == 0xE70C92A9u && g.Data2 == 0x4BFD && g.Data3 == 0x11D1);
  static_assert(g.Data4[0] == 0x8A && g.Data4[1] == 0x95 && g.Data4[7] == 0xF3);
  static_assert(g == CLSID_StoreNamespace);
  static_assert(!(CLSID_StoreNamespace == IID_IStoreNamespace));
  static_assert(MakeGuid("{fd853cdd-7f86-11d0-8252-00c04fd85ab4}") == CLSID_IMimeAllocator);
}

TEST(Guid, InterfaceIdsAreDistinct) {
  const IID ids[] = {IID_IUnknown,        IID_IClassFactory, IID_IStream,     IID_IStoreNamespace,
                     IID_IStoreFolder,    IID_IMimeMessage,  IID_IMimeBody,   IID_IMimePropertySet,
                     IID_IMimeAllocator,  IID_IAddrBook,     IID_IWABObject,  IID_IABContainer,
                     IID_IMAPITable,      IID_IPersistStreamInit};
  for (size_t i = 0; i < std::size(ids); ++i) {
    for (size_t j = i + 1; j < std::size(ids); ++j) EXPECT_FALSE(ids[i] == ids[j]) << i << "," << j;
  }
}

TEST(PlatformConstants, PropertyTagsAndIdentifiers) {
  EXPECT_EQ(PR_DISPLAY_NAME_A, 0x3001001Eu);
  EXPECT_EQ(PR_NICKNAME_A, 0x3A4F001Eu);
  EXPECT_EQ(PR_EMAIL_ADDRESS_A, 0x3003001Eu);
  EXPECT_EQ(CbNewSRowSet(2), offsetof(SRowSet, aRow) + 2 * sizeof(SRow));
  EXPECT_TRUE(ISPIDSTR(PIDTOSTR(PID_HDR_CNTTYPE)));
  EXPECT_FALSE(ISPIDSTR("Content-Type"));
  EXPECT_EQ(HRESULT_FROM_WIN32(2), MakeHresult(0x80070002u));
  EXPECT_EQ(HRESULT_FROM_WIN32(0), S_OK);
}

TEST(PropVariantClear, FreesStringsAndRefusesUnknownTypes) {
  PROPVARIANT value;
  PropVariantInit(&value);
  value.vt = VT_LPSTR;
  value.pszVal = static_cast<LPSTR>(CoTaskMemAlloc(8));
  EXPECT_EQ(PropVariantClear(&value), S_OK);  // the sanitizer build sees a leak otherwise
  EXPECT_EQ(value.vt, VT_EMPTY);
  EXPECT_EQ(value.pszVal, nullptr);
  value.vt = 0x7777;
  EXPECT_EQ(PropVariantClear(&value), E_INVALIDARG);
  EXPECT_EQ(value.vt, 0x7777);
  EXPECT_EQ(PropVariantClear(nullptr), E_INVALIDARG);
}

}  // namespace
