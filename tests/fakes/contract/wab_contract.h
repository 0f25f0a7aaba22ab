// The address book contract: what every address book library promises its
// callers through WABOpen, IAddrBook, IWABObject, IABContainer and
// IMAPITable, as a value-parameterised suite.
//
// Instantiate it once per implementation, in one source file of a test
// program (the file defines the tests):
//
//   #include "tests/fakes/contract/wab_contract.h"
//   using vorn_contract::WabContract;
//   INSTANTIATE_TEST_SUITE_P(
//       Real, WabContract,
//       testing::Values(vorn_contract::WabContractParam{
//           "vornwab", [] { return std::make_unique<MyWabHarness>(); }}),
//       vorn_contract::WabParamName);
//
// The harness opens, through the library's WABOpen, an address book holding
// exactly the contacts a test lists (a real library reads them from files the
// harness writes; a fake is told them).
//
// What is checked: only S_OK is success, and every call that succeeds says
// S_OK exactly; the personal address book's identifier comes in a buffer
// FreeBuffer frees; it opens (with no interface identifier) as a MAPI_ABCONT
// container; its contents table counts one row per contact and hands them
// out with QueryRows, which moves the table's position; each row carries the
// contact's display name and e-mail address as 8-bit strings (and the
// nickname when the contact has one); FreeBuffer frees row sets and rows and
// accepts null; an entry identifier it never issued is refused. The order of
// rows is not part of the contract.
#pragma once

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "platform/wab.h"
#include "runtime/com_ptr.h"

namespace vorn_contract {

struct ContactSpec {
  std::string displayName;
  std::string nickname;  // empty: the contact has none
  std::string email;
};

class WabHarness {
 public:
  virtual ~WabHarness() = default;
  // Calls the library's WABOpen(addrBook, wabObject, null, 0) over an
  // address book holding exactly `contacts`, and returns its status.
  virtual HRESULT Open(const std::vector<ContactSpec>& contacts, LPADRBOOK* addrBook,
                       LPWABOBJECT* wabObject) = 0;
};

struct WabContractParam {
  std::string name;
  std::function<std::unique_ptr<WabHarness>()> make;
};

inline void PrintTo(const WabContractParam& param, std::ostream* out) { *out << param.name; }
inline std::string WabParamName(const testing::TestParamInfo<WabContractParam>& info) {
  return info.param.name;
}

class WabContract : public testing::TestWithParam<WabContractParam> {
 protected:
  void SetUp() override {
    harness_ = GetParam().make();
    ASSERT_TRUE(harness_);
  }
  void TearDown() override {
    container_ = nullptr;
    book_ = nullptr;
    wab_ = nullptr;
    harness_.reset();
  }

  // Opens the book and its personal address book container.
  void OpenContainer(const std::vector<ContactSpec>& contacts) {
    ASSERT_EQ(harness_->Open(contacts, book_.Put(), wab_.Put()), S_OK);
    ASSERT_TRUE(book_);
    ASSERT_TRUE(wab_);
    ULONG cb = 0;
    LPENTRYID entry = nullptr;
    ASSERT_EQ(book_->GetPAB(&cb, &entry), S_OK);
    ASSERT_NE(entry, nullptr);
    EXPECT_GT(cb, 0u);
    ULONG type = 0;
    ComPtr<IUnknown> object;
    HRESULT hr = book_->OpenEntry(cb, entry, nullptr, MAPI_BEST_ACCESS, &type, object.Put());
    EXPECT_EQ(wab_->FreeBuffer(entry), S_OK);
    ASSERT_EQ(hr, S_OK);
    ASSERT_EQ(type, MAPI_ABCONT);
    ASSERT_TRUE(object);
    // With no interface asked for, a container comes as its IABContainer.
    container_ = ComPtr<IABContainer>(static_cast<IABContainer*>(object.Get()));
  }

  ComPtr<IMAPITable> Table() {
    ComPtr<IMAPITable> table;
    EXPECT_EQ(container_->GetContentsTable(0, table.Put()), S_OK);
    return table;
  }

  // The contacts of `rows` as ContactSpec, freeing each row and the set.
  std::vector<ContactSpec> TakeRows(LPSRowSet rows) {
    std::vector<ContactSpec> contacts;
    if (!rows) return contacts;
    for (ULONG i = 0; i < rows->cRows; ++i) {
      const SRow& row = (&rows->aRow[0])[i];
      ContactSpec contact;
      for (ULONG j = 0; j < row.cValues; ++j) {
        const SPropValue& value = row.lpProps[j];
        std::string text =
            PROP_TYPE(value.ulPropTag) == PT_STRING8 && value.Value.lpszA ? value.Value.lpszA : "";
        if (value.ulPropTag == PR_DISPLAY_NAME_A) contact.displayName = text;
        if (value.ulPropTag == PR_NICKNAME_A) contact.nickname = text;
        if (value.ulPropTag == PR_EMAIL_ADDRESS_A) contact.email = text;
      }
      contacts.push_back(contact);
      EXPECT_EQ(wab_->FreeBuffer(row.lpProps), S_OK);
    }
    EXPECT_EQ(wab_->FreeBuffer(rows), S_OK);
    return contacts;
  }

  static std::vector<std::string> Describe(const std::vector<ContactSpec>& contacts) {
    std::vector<std::string> lines;
    for (const ContactSpec& c : contacts) {
      lines.push_back(c.displayName + "|" + c.nickname + "|" + c.email);
    }
    return lines;
  }

  std::unique_ptr<WabHarness> harness_;
  ComPtr<IAddrBook> book_;
  ComPtr<IWABObject> wab_;
  ComPtr<IABContainer> container_;
};

TEST_P(WabContract, ContactsComeAsRowsOfTheContentsTable) {
  const std::vector<ContactSpec> contacts = {
      {"Ann Smith", "annie", "ann@example.org"},
      {"Bob Jones", "", "bob@example.org"},
      {"Cho Lee", "cho", "cho@example.net"},
  };
  OpenContainer(contacts);
  ASSERT_TRUE(container_);
  ComPtr<IMAPITable> table = Table();
  ASSERT_TRUE(table);
  ULONG count = 0;
  ASSERT_EQ(table->GetRowCount(0, &count), S_OK);
  EXPECT_EQ(count, contacts.size());
  LPSRowSet rows = nullptr;
  ASSERT_EQ(table->QueryRows(static_cast<LONG>(count), 0, &rows), S_OK);
  ASSERT_NE(rows, nullptr);
  EXPECT_EQ(rows->cRows, contacts.size());
  std::vector<std::string> seen = Describe(TakeRows(rows));
  std::vector<std::string> expected = Describe(contacts);
  EXPECT_THAT(seen, testing::UnorderedElementsAreArray(expected));
}

TEST_P(WabContract, QueryRowsMovesThroughTheTable) {
  const std::vector<ContactSpec> contacts = {{"One", "", "one@example.org"},
                                             {"Two", "", "two@example.org"}};
  OpenContainer(contacts);
  ASSERT_TRUE(container_);
  ComPtr<IMAPITable> table = Table();
  ASSERT_TRUE(table);
  std::vector<std::string> seen;
  for (int i = 0; i < 3; ++i) {
    LPSRowSet rows = nullptr;
    ASSERT_EQ(table->QueryRows(1, 0, &rows), S_OK);
    ASSERT_NE(rows, nullptr);
    EXPECT_EQ(rows->cRows, i < 2 ? 1u : 0u);
    for (const std::string& line : Describe(TakeRows(rows))) seen.push_back(line);
  }
  EXPECT_THAT(seen, testing::UnorderedElementsAreArray(Describe(contacts)));
}

TEST_P(WabContract, AnEmptyBookHasNoRows) {
  OpenContainer({});
  ASSERT_TRUE(container_);
  ComPtr<IMAPITable> table = Table();
  ASSERT_TRUE(table);
  ULONG count = 7;
  ASSERT_EQ(table->GetRowCount(0, &count), S_OK);
  EXPECT_EQ(count, 0u);
  LPSRowSet rows = nullptr;
  ASSERT_EQ(table->QueryRows(1, 0, &rows), S_OK);
  ASSERT_NE(rows, nullptr);
  EXPECT_EQ(rows->cRows, 0u);
  EXPECT_THAT(TakeRows(rows), testing::IsEmpty());
}

TEST_P(WabContract, UnknownEntryIdentifiersAreRefused) {
  ASSERT_EQ(harness_->Open({{"Ann", "", "ann@example.org"}}, book_.Put(), wab_.Put()), S_OK);
  BYTE bogus[] = {0, 0, 0, 0, 0xDE, 0xAD, 0xBE, 0xEF, 0x01, 0x02, 0x03};
  ULONG type = 99;
  IUnknown* object = reinterpret_cast<IUnknown*>(1);
  HRESULT hr = book_->OpenEntry(sizeof bogus, reinterpret_cast<LPENTRYID>(bogus), nullptr,
                                MAPI_BEST_ACCESS, &type, &object);
  EXPECT_LT(hr, 0);
  if (FAILED(hr)) {
    EXPECT_EQ(object, nullptr);
  } else if (object) {
    object->Release();
  }
}

TEST_P(WabContract, BuffersAllocateAndFree) {
  ASSERT_EQ(harness_->Open({}, book_.Put(), wab_.Put()), S_OK);
  LPVOID base = nullptr, more = nullptr;
  ASSERT_EQ(wab_->AllocateBuffer(32, &base), S_OK);
  ASSERT_NE(base, nullptr);
  ASSERT_EQ(wab_->AllocateMore(64, base, &more), S_OK);
  ASSERT_NE(more, nullptr);
  std::fill_n(static_cast<char*>(base), 32, 'b');
  std::fill_n(static_cast<char*>(more), 64, 'm');
  EXPECT_EQ(wab_->FreeBuffer(base), S_OK);  // frees `more` with it
  EXPECT_EQ(wab_->FreeBuffer(nullptr), S_OK);
}

}  // namespace vorn_contract
