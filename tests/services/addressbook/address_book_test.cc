#include "services/addressbook/address_book.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

#include "runtime/com_ptr.h"
#include "tests/services/addressbook/wab_rows.h"

namespace vorn_wab {
namespace {

using vorn_test::RowText;

class FixedSource final : public ContactSource {
 public:
  explicit FixedSource(std::vector<Contact> contacts, HRESULT status = S_OK)
      : contacts_(std::move(contacts)), status_(status) {}
  HRESULT Load(std::vector<Contact>* contacts) override {
    ++loads;
    *contacts = contacts_;
    return status_;
  }
  int loads = 0;

 private:
  std::vector<Contact> contacts_;
  HRESULT status_;
};

const std::vector<Contact> kFive = {
    {"Ann Archer", "Annie", "ann@example.org"},
    {"Bob Baker", "", "bob@example.org"},
    {"", "", ""},
    {"Dee Dunn", "D", ""},
    {"eve@example.org", "", "eve@example.org"},
};

class AddressBookTest : public testing::Test {
 protected:
  void Open(std::vector<Contact> contacts, HRESULT status = S_OK,
            std::function<void*(size_t)> allocate = nullptr) {
    source_ = std::make_shared<FixedSource>(std::move(contacts), status);
    pool_ = std::make_shared<BufferPool>(std::move(allocate));
    ASSERT_EQ(CreateAddressBook(source_, pool_, book_.Put(), wab_.Put()), S_OK);
  }

  // The personal address book, opened as the session opens it.
  ComPtr<IABContainer> OpenPab() {
    ULONG cb = 0;
    LPENTRYID id = nullptr;
    EXPECT_EQ(book_->GetPAB(&cb, &id), S_OK);
    ULONG type = 0;
    ComPtr<IUnknown> object;
    EXPECT_EQ(book_->OpenEntry(cb, id, nullptr, MAPI_BEST_ACCESS, &type, object.Put()), S_OK);
    EXPECT_EQ(type, MAPI_ABCONT);
    wab_->FreeBuffer(id);
    // With no interface asked for, the object is the container itself.
    return ComPtr<IABContainer>(static_cast<IABContainer*>(object.Get()));
  }

  ComPtr<IMAPITable> OpenTable() {
    ComPtr<IMAPITable> table;
    EXPECT_EQ(OpenPab()->GetContentsTable(0, table.Put()), S_OK);
    return table;
  }

  // Queries `count` rows, checks the row set, returns them as text and frees
  // them.
  std::vector<std::string> Query(IMAPITable* table, LONG count) {
    LPSRowSet rows = nullptr;
    EXPECT_EQ(table->QueryRows(count, 0, &rows), S_OK);
    std::vector<std::string> texts;
    if (!rows) return texts;
    for (ULONG i = 0; i < rows->cRows; ++i) {
      const SRow& row = (&rows->aRow[0])[i];
      texts.push_back(RowText(row));
      EXPECT_EQ(wab_->FreeBuffer(row.lpProps), S_OK);
    }
    EXPECT_EQ(wab_->FreeBuffer(rows), S_OK);
    return texts;
  }

  std::shared_ptr<FixedSource> source_;
  std::shared_ptr<BufferPool> pool_;
  ComPtr<IAddrBook> book_;
  ComPtr<IWABObject> wab_;
};

std::string Row(const Contact& c) {
  std::string text = "PR_ENTRYID (28 bytes)\nPR_OBJECT_TYPE MAPI_MAILUSER\n";
  if (!c.displayName.empty()) text += "PR_DISPLAY_NAME_A " + c.displayName + "\n";
  if (!c.nickname.empty()) text += "PR_NICKNAME_A " + c.nickname + "\n";
  if (!c.email.empty()) text += "PR_EMAIL_ADDRESS_A " + c.email + "\n";
  return text;
}

TEST_F(AddressBookTest, RowsComeInOrderFromTheCursorAndEachTableStartsAtTheTop) {
  Open(kFive);
  ComPtr<IMAPITable> table = OpenTable();
  ULONG count = 0;
  EXPECT_EQ(table->GetRowCount(0, &count), S_OK);
  EXPECT_EQ(count, 5u);

  std::vector<std::string> all;
  for (LONG chunk : {2, 2, 2}) {
    for (std::string& text : Query(table.Get(), chunk)) all.push_back(std::move(text));
  }
  ASSERT_EQ(all.size(), 5u);
  for (size_t i = 0; i < all.size(); ++i) EXPECT_EQ(all[i], Row(kFive[i])) << i;
  EXPECT_TRUE(Query(table.Get(), 10).empty());  // past the end: S_OK, no rows

  ComPtr<IMAPITable> second = OpenTable();
  const std::vector<std::string> again = Query(second.Get(), 100);
  EXPECT_EQ(again, all);
  EXPECT_EQ(source_->loads, 2);  // every table reads the contacts anew
  EXPECT_EQ(pool_->Outstanding(), 0u);
}

TEST_F(AddressBookTest, EntryIdentifiersOfRowsAreDistinctAndNotOpenable) {
  Open(kFive);
  ComPtr<IMAPITable> table = OpenTable();
  LPSRowSet rows = nullptr;
  ASSERT_EQ(table->QueryRows(5, 0, &rows), S_OK);
  std::vector<std::string> ids;
  for (ULONG i = 0; i < rows->cRows; ++i) {
    const SPropValue& id = (&rows->aRow[0])[i].lpProps[0];
    ASSERT_EQ(id.ulPropTag, PR_ENTRYID);
    ids.emplace_back(reinterpret_cast<const char*>(id.Value.bin.lpb), id.Value.bin.cb);
    ULONG type = 99;
    IUnknown* object = reinterpret_cast<IUnknown*>(1);
    EXPECT_EQ(book_->OpenEntry(id.Value.bin.cb, reinterpret_cast<LPENTRYID>(id.Value.bin.lpb),
                               nullptr, 0, &type, &object),
              MAPI_E_NO_SUPPORT);
    EXPECT_EQ(object, nullptr);
  }
  for (ULONG i = 0; i < rows->cRows; ++i) wab_->FreeBuffer((&rows->aRow[0])[i].lpProps);
  wab_->FreeBuffer(rows);
  std::sort(ids.begin(), ids.end());
  EXPECT_EQ(std::unique(ids.begin(), ids.end()), ids.end());
}

TEST_F(AddressBookTest, OpenEntryRefusesWhatIsNotThePersonalAddressBook) {
  Open(kFive);
  ULONG cb = 0;
  LPENTRYID pab = nullptr;
  ASSERT_EQ(book_->GetPAB(&cb, &pab), S_OK);
  ASSERT_EQ(cb, kEntryIdSize);
  std::vector<BYTE> bytes(reinterpret_cast<BYTE*>(pab), reinterpret_cast<BYTE*>(pab) + cb);
  wab_->FreeBuffer(pab);

  struct Case {
    const char* name;
    size_t flip;  // byte to change, or SIZE_MAX
    ULONG cb;
    bool nullId;
    LPCIID iid;
    ULONG flags;
    HRESULT expected;
  };
  const Case cases[] = {
      {"pab, best access", SIZE_MAX, kEntryIdSize, false, nullptr, MAPI_BEST_ACCESS, S_OK},
      {"pab, no flags", SIZE_MAX, kEntryIdSize, false, nullptr, 0, S_OK},
      {"pab as IABContainer", SIZE_MAX, kEntryIdSize, false, &IID_IABContainer, 0, S_OK},
      {"pab as a table", SIZE_MAX, kEntryIdSize, false, &IID_IMAPITable, 0, E_NOINTERFACE},
      {"modify only", SIZE_MAX, kEntryIdSize, false, nullptr, MAPI_MODIFY, E_ACCESSDENIED},
      {"null identifier", SIZE_MAX, 0, true, nullptr, 0, MAPI_E_INVALID_ENTRYID},
      {"short", SIZE_MAX, kEntryIdSize - 1, false, nullptr, 0, MAPI_E_INVALID_ENTRYID},
      {"flag byte set", 0, kEntryIdSize, false, nullptr, 0, MAPI_E_INVALID_ENTRYID},
      {"other provider", 9, kEntryIdSize, false, nullptr, 0, MAPI_E_INVALID_ENTRYID},
      {"unknown kind", 20, kEntryIdSize, false, nullptr, 0, MAPI_E_INVALID_ENTRYID},
  };
  for (const Case& c : cases) {
    std::vector<BYTE> id = bytes;
    if (c.flip != SIZE_MAX) id[c.flip] ^= 0x40;
    ULONG type = 99;
    IUnknown* object = reinterpret_cast<IUnknown*>(1);
    const HRESULT hr =
        book_->OpenEntry(c.cb, c.nullId ? nullptr : reinterpret_cast<LPENTRYID>(id.data()), c.iid,
                         c.flags, &type, &object);
    EXPECT_EQ(hr, c.expected) << c.name;
    if (hr == S_OK) {
      EXPECT_EQ(type, MAPI_ABCONT) << c.name;
      ComPtr<IABContainer> container;
      ASSERT_EQ(ComPtr<IUnknown>::Adopt(object).As(&container), S_OK) << c.name;
    } else {
      EXPECT_EQ(object, nullptr) << c.name;
      EXPECT_EQ(type, 0u) << c.name;
    }
  }
}

TEST_F(AddressBookTest, BadArgumentsAreRefusedWithNullResults) {
  Open(kFive);
  ComPtr<IABContainer> pab = OpenPab();
  ComPtr<IMAPITable> table;
  EXPECT_EQ(pab->GetContentsTable(0x80000000u, table.Put()), E_INVALIDARG);
  EXPECT_FALSE(table);
  EXPECT_EQ(pab->GetContentsTable(0, nullptr), E_INVALIDARG);
  ASSERT_EQ(pab->GetContentsTable(0, table.Put()), S_OK);

  ULONG count = 7;
  EXPECT_EQ(table->GetRowCount(1, &count), E_INVALIDARG);
  EXPECT_EQ(table->GetRowCount(0, nullptr), E_INVALIDARG);
  for (LONG bad : {0, -1}) {
    LPSRowSet rows = reinterpret_cast<LPSRowSet>(1);
    EXPECT_EQ(table->QueryRows(bad, 0, &rows), E_INVALIDARG);
    EXPECT_EQ(rows, nullptr);
  }
  EXPECT_EQ(table->QueryRows(1, 0, nullptr), E_INVALIDARG);
  EXPECT_EQ(Query(table.Get(), 1).size(), 1u);  // the refusals did not move the cursor past row 0

  ULONG cb = 0;
  EXPECT_EQ(book_->GetPAB(&cb, nullptr), E_INVALIDARG);
  EXPECT_EQ(CreateAddressBook(nullptr, pool_, nullptr, nullptr), E_INVALIDARG);
  IAddrBook* book = reinterpret_cast<IAddrBook*>(1);
  IWABObject* wab = reinterpret_cast<IWABObject*>(1);
  EXPECT_EQ(CreateAddressBook(nullptr, pool_, &book, &wab), E_INVALIDARG);
  EXPECT_EQ(book, nullptr);
  EXPECT_EQ(wab, nullptr);
}

TEST_F(AddressBookTest, AFailingSourceGivesNoTable) {
  Open(kFive, STG_E_READFAULT);
  IMAPITable* raw = reinterpret_cast<IMAPITable*>(1);
  EXPECT_EQ(OpenPab()->GetContentsTable(0, &raw), STG_E_READFAULT);
  EXPECT_EQ(raw, nullptr);
}

TEST_F(AddressBookTest, AnEmptyAddressBookHasAnEmptyTable) {
  Open({});
  ComPtr<IMAPITable> table = OpenTable();
  ULONG count = 9;
  EXPECT_EQ(table->GetRowCount(0, &count), S_OK);
  EXPECT_EQ(count, 0u);
  EXPECT_TRUE(Query(table.Get(), 1).empty());
}

TEST_F(AddressBookTest, FreeingABufferFreesWhatWasAllocatedMoreOnIt) {
  Open({});
  void* base = nullptr;
  void* more = nullptr;
  void* other = nullptr;
  ASSERT_EQ(wab_->AllocateBuffer(0, &base), S_OK);
  ASSERT_EQ(wab_->AllocateMore(100, base, &more), S_OK);
  ASSERT_EQ(wab_->AllocateMore(5, base, &other), S_OK);
  std::memset(more, 0xAB, 100);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(more) % alignof(std::max_align_t), 0u);
  EXPECT_EQ(pool_->Outstanding(), 1u);

  EXPECT_EQ(wab_->FreeBuffer(more), E_INVALIDARG);  // not a base: left alone
  EXPECT_EQ(wab_->FreeBuffer(base), S_OK);          // frees more and other as well
  EXPECT_EQ(pool_->Outstanding(), 0u);
  EXPECT_EQ(wab_->FreeBuffer(base), E_INVALIDARG);  // already freed
  EXPECT_EQ(wab_->AllocateMore(1, base, &more), E_INVALIDARG);
  EXPECT_EQ(more, nullptr);
  EXPECT_EQ(wab_->FreeBuffer(nullptr), S_OK);
  int onStack = 0;
  EXPECT_EQ(wab_->FreeBuffer(&onStack), E_INVALIDARG);
  EXPECT_EQ(wab_->AllocateBuffer(1, nullptr), E_INVALIDARG);
}

TEST_F(AddressBookTest, FailedAllocationsLeaveNothingBehindAndTheCursorInPlace) {
  // Fail the Nth allocation for N = 1, 2, ... until a query gets through.
  int countdown = 0;
  Open(kFive, S_OK, [&countdown](size_t cb) -> void* {
    if (countdown > 0 && --countdown == 0) return nullptr;
    return std::malloc(cb);
  });
  ComPtr<IMAPITable> table = OpenTable();
  EXPECT_EQ(Query(table.Get(), 1).size(), 1u);
  int n = 1;
  for (;; ++n) {
    countdown = n;
    LPSRowSet rows = reinterpret_cast<LPSRowSet>(1);
    const HRESULT hr = table->QueryRows(3, 0, &rows);
    if (hr == S_OK) {
      ASSERT_EQ(rows->cRows, 3u);
      EXPECT_EQ(RowText((&rows->aRow[0])[0]), Row(kFive[1]));  // still from row 1
      for (ULONG i = 0; i < rows->cRows; ++i) wab_->FreeBuffer((&rows->aRow[0])[i].lpProps);
      wab_->FreeBuffer(rows);
      break;
    }
    EXPECT_EQ(hr, E_OUTOFMEMORY) << n;
    EXPECT_EQ(rows, nullptr) << n;
    EXPECT_EQ(pool_->Outstanding(), 0u) << n;
  }
  EXPECT_EQ(n, 8);  // the row set, then two buffers per row
  countdown = 1;
  ULONG cb = 5;
  LPENTRYID id = reinterpret_cast<LPENTRYID>(1);
  EXPECT_EQ(book_->GetPAB(&cb, &id), E_OUTOFMEMORY);
  EXPECT_EQ(id, nullptr);
  EXPECT_EQ(cb, 0u);
  EXPECT_EQ(pool_->Outstanding(), 0u);
}

TEST_F(AddressBookTest, TablesAndRowsOutliveTheObjectsThatMadeThem) {
  Open(kFive);
  ComPtr<IMAPITable> table = OpenTable();
  book_ = nullptr;
  ComPtr<IWABObject> wab = wab_;
  wab_ = nullptr;
  pool_ = nullptr;
  LPSRowSet rows = nullptr;
  ASSERT_EQ(table->QueryRows(5, 0, &rows), S_OK);
  table = nullptr;
  EXPECT_STREQ((&rows->aRow[0])[4].lpProps[2].Value.lpszA, "eve@example.org");
  for (ULONG i = 0; i < rows->cRows; ++i) EXPECT_EQ(wab->FreeBuffer((&rows->aRow[0])[i].lpProps), S_OK);
  EXPECT_EQ(wab->FreeBuffer(rows), S_OK);
  // What is left outstanding goes with the last object.
  void* forgotten = nullptr;
  EXPECT_EQ(wab->AllocateBuffer(64, &forgotten), S_OK);
}

TEST_F(AddressBookTest, InterfacesAnswerForThemselvesAndIUnknownOnly) {
  Open(kFive);
  ComPtr<IABContainer> pab = OpenPab();
  ComPtr<IMAPITable> table = OpenTable();
  IUnknown* objects[] = {book_.Get(), wab_.Get(), pab.Get(), table.Get()};
  const IID* own[] = {&IID_IAddrBook, &IID_IWABObject, &IID_IABContainer, &IID_IMAPITable};
  for (size_t i = 0; i < 4; ++i) {
    for (size_t j = 0; j < 4; ++j) {
      void* out = reinterpret_cast<void*>(1);
      const HRESULT hr = objects[i]->QueryInterface(*own[j], &out);
      EXPECT_EQ(hr, i == j ? S_OK : E_NOINTERFACE) << i << "," << j;
      if (hr == S_OK) {
        EXPECT_EQ(out, objects[i]);
        objects[i]->Release();
      } else {
        EXPECT_EQ(out, nullptr);
      }
    }
    void* unknown = nullptr;
    ASSERT_EQ(objects[i]->QueryInterface(IID_IUnknown, &unknown), S_OK);
    EXPECT_EQ(objects[i]->AddRef(), 3u);
    EXPECT_EQ(objects[i]->Release(), 2u);
    static_cast<IUnknown*>(unknown)->Release();
    EXPECT_EQ(objects[i]->QueryInterface(IID_IUnknown, nullptr), E_POINTER);
  }
}

}  // namespace
}  // namespace vorn_wab
