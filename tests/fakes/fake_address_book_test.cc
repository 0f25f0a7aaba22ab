// The fake address book counts every buffer it hands out and every one given
// back, and serves rows exactly as described (any tag, any type, repeated
// tags), so that a contact loader's leaks and misreadings show.

#include "tests/fakes/fake_address_book.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>

#include "platform/registry.h"

namespace vorn_fakes {
namespace {

using testing::ElementsAre;
using testing::IsEmpty;
using testing::UnorderedElementsAre;

// Opens the book and walks it as a contact loader does, freeing everything.
struct Walk {
  HRESULT status = S_OK;
  std::vector<std::vector<ULONG>> tags;  // tags of each row
  std::vector<std::string> firstTexts;   // the first PT_STRING8 value of each row
};

Walk WalkBook(FakeAddressBook& book) {
  Walk walk;
  ComPtr<IAddrBook> ab;
  ComPtr<IWABObject> wab;
  if ((walk.status = book.Open(ab.Put(), wab.Put(), nullptr, 0)) != S_OK) return walk;
  ULONG cb = 0;
  LPENTRYID entry = nullptr;
  if ((walk.status = ab->GetPAB(&cb, &entry)) != S_OK) return walk;
  ULONG type = 0;
  ComPtr<IUnknown> object;
  walk.status = ab->OpenEntry(cb, entry, nullptr, MAPI_BEST_ACCESS, &type, object.Put());
  wab->FreeBuffer(entry);
  if (walk.status != S_OK || type != MAPI_ABCONT) return walk;
  auto* container = static_cast<IABContainer*>(object.Get());
  ComPtr<IMAPITable> table;
  if ((walk.status = container->GetContentsTable(0, table.Put())) != S_OK) return walk;
  ULONG count = 0;
  if ((walk.status = table->GetRowCount(0, &count)) != S_OK) return walk;
  LPSRowSet rows = nullptr;
  if ((walk.status = table->QueryRows(static_cast<LONG>(count), 0, &rows)) != S_OK) return walk;
  for (ULONG i = 0; i < rows->cRows; ++i) {
    const SRow& row = (&rows->aRow[0])[i];
    std::vector<ULONG> tags;
    std::string text = "-";
    for (ULONG j = 0; j < row.cValues; ++j) {
      tags.push_back(row.lpProps[j].ulPropTag);
      if (PROP_TYPE(row.lpProps[j].ulPropTag) == PT_STRING8 && text == "-") {
        text = row.lpProps[j].Value.lpszA ? row.lpProps[j].Value.lpszA : "(null)";
      }
    }
    walk.tags.push_back(tags);
    walk.firstTexts.push_back(text);
    wab->FreeBuffer(row.lpProps);
  }
  wab->FreeBuffer(rows);
  return walk;
}

TEST(FakeAddressBookTest, FreedBuffersEqualHandedOutBuffers) {
  FakeEnv env;
  FakeAddressBook book(env);
  book.AddContact("Ann", "ann", "ann@example.org");
  book.rows.push_back({WabProp::Unicode(PR_DISPLAY_NAME_W, u"wide"),
                       WabProp::Error(PR_NICKNAME_A, MAPI_E_NOT_FOUND),
                       WabProp::String8(PR_EMAIL_ADDRESS_A, "first"),
                       WabProp::String8(PR_EMAIL_ADDRESS_A, "second")});
  book.rows.push_back({});
  book.rows.push_back({WabProp::NullString8(PR_DISPLAY_NAME_A)});

  Walk walk = WalkBook(book);
  ASSERT_EQ(walk.status, S_OK);
  ASSERT_EQ(walk.tags.size(), 4u);
  EXPECT_THAT(walk.tags[1], ElementsAre(PR_DISPLAY_NAME_W, PROP_TAG(PT_ERROR, 0x3A4F),
                                        PR_EMAIL_ADDRESS_A, PR_EMAIL_ADDRESS_A));
  EXPECT_THAT(walk.tags[2], IsEmpty());
  EXPECT_THAT(walk.firstTexts, ElementsAre("Ann", "first", "-", "(null)"));

  // entry id + row set + one buffer per row, all given back.
  EXPECT_EQ(book.BuffersHandedOut(), 6);
  EXPECT_EQ(book.BuffersFreed(), 6);
  EXPECT_THAT(book.LiveBuffers(), IsEmpty());
  std::vector<std::string> freed;
  for (const Call& call : env.log.Calls("FreeBuffer")) freed.push_back(call.Str("buffer"));
  EXPECT_THAT(freed, ElementsAre("entryid", "row0", "row1", "row2", "row3", "rowset"));
  EXPECT_EQ(env.log.Last("QueryRows").Num("rowCount"), 4u);
  EXPECT_EQ(env.log.Last("OpenEntry").Num("flags"), MAPI_BEST_ACCESS);
  EXPECT_TRUE(env.log.Last("OpenEntry").IsNull("iid"));
  EXPECT_THAT(env.log.LiveObjects(), IsEmpty());
  EXPECT_THAT(env.log.Errors(), IsEmpty());
}

TEST(FakeAddressBookTest, MisusedBuffersAreCaughtNotFreed) {
  FakeEnv env;
  FakeAddressBook book(env);
  ComPtr<IAddrBook> ab;
  ComPtr<IWABObject> wab;
  ASSERT_EQ(book.Open(ab.Put(), wab.Put(), nullptr, 0), S_OK);
  void* base = nullptr;
  void* more = nullptr;
  ASSERT_EQ(wab->AllocateBuffer(8, &base), S_OK);
  ASSERT_EQ(wab->AllocateMore(8, base, &more), S_OK);
  EXPECT_NE(wab->FreeBuffer(more), S_OK);
  EXPECT_EQ(wab->FreeBuffer(base), S_OK);
  EXPECT_NE(wab->FreeBuffer(base), S_OK);
  EXPECT_EQ(wab->FreeBuffer(nullptr), S_OK);
  EXPECT_EQ(env.log.Errors().size(), 2u);
  EXPECT_EQ(book.BuffersHandedOut(), 1);
  EXPECT_EQ(book.BuffersFreed(), 1);
}

TEST(FakeAddressBookTest, StatusKnobsFailOrWarn) {
  struct Case {
    const char* name;
    std::function<void(FakeAddressBook&)> set;
    HRESULT status;
    const char* lastCall;
  };
  const Case cases[] = {
      {"WABOpen fails", [](FakeAddressBook& b) { b.wabOpenStatus = E_FAIL; }, E_FAIL, "WABOpen"},
      {"GetPAB warns", [](FakeAddressBook& b) { b.getPabStatus = 1; }, 1, "GetPAB"},
      {"GetPAB warns, handing out",
       [](FakeAddressBook& b) {
         b.getPabStatus = 1;
         b.handOutOnWarning = true;
       },
       1, "GetPAB"},
      {"OpenEntry fails", [](FakeAddressBook& b) { b.openEntryStatus = MAPI_E_NOT_FOUND; },
       MAPI_E_NOT_FOUND, "OpenEntry"},
      {"not a container", [](FakeAddressBook& b) { b.objectType = MAPI_MAILUSER; }, S_OK,
       "OpenEntry"},
      {"GetContentsTable fails",
       [](FakeAddressBook& b) { b.contentsTableStatus = MAPI_E_NO_SUPPORT; }, MAPI_E_NO_SUPPORT,
       "GetContentsTable"},
      {"GetRowCount fails", [](FakeAddressBook& b) { b.rowCountStatus = E_FAIL; }, E_FAIL,
       "GetRowCount"},
      {"QueryRows warns, handing out",
       [](FakeAddressBook& b) {
         b.queryRowsStatus = 0x00040380;
         b.handOutOnWarning = true;
       },
       0x00040380, "QueryRows"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakeEnv env;
    FakeAddressBook book(env);
    book.AddContact("Ann", nullptr, nullptr);
    c.set(book);
    Walk walk = WalkBook(book);
    EXPECT_EQ(walk.status, c.status);
    EXPECT_EQ(env.log.Last(c.lastCall).result, c.status);
    // Whatever was handed out with a warning is still counted as live.
    if (book.handOutOnWarning) {
      EXPECT_EQ(book.BuffersHandedOut() - book.BuffersFreed(), c.status == 1 ? 1 : 2);
    } else {
      EXPECT_EQ(book.BuffersHandedOut(), book.BuffersFreed());
    }
    EXPECT_THAT(env.log.LiveObjects(), IsEmpty());
  }
}

TEST(FakeAddressBookTest, QueryRowsMovesTheCursor) {
  FakeEnv env;
  FakeAddressBook book(env);
  for (const char* name : {"a", "b", "c"}) book.AddContact(name, nullptr, nullptr);
  ComPtr<IAddrBook> ab;
  ComPtr<IWABObject> wab;
  ASSERT_EQ(book.Open(ab.Put(), wab.Put(), nullptr, 0), S_OK);
  ULONG cb = 0;
  LPENTRYID entry = nullptr;
  ASSERT_EQ(ab->GetPAB(&cb, &entry), S_OK);
  ULONG type = 0;
  ComPtr<IUnknown> object;
  ASSERT_EQ(ab->OpenEntry(cb, entry, &IID_IABContainer, 0, &type, object.Put()), S_OK);
  wab->FreeBuffer(entry);
  ComPtr<IMAPITable> table;
  ASSERT_EQ(static_cast<IABContainer*>(object.Get())->GetContentsTable(0, table.Put()), S_OK);
  std::vector<ULONG> sizes;
  for (int i = 0; i < 3; ++i) {
    LPSRowSet rows = nullptr;
    ASSERT_EQ(table->QueryRows(2, 0, &rows), S_OK);
    sizes.push_back(rows->cRows);
    for (ULONG r = 0; r < rows->cRows; ++r) wab->FreeBuffer((&rows->aRow[0])[r].lpProps);
    wab->FreeBuffer(rows);
  }
  EXPECT_THAT(sizes, ElementsAre(2u, 1u, 0u));
  EXPECT_EQ(book.BuffersHandedOut(), book.BuffersFreed());
}

}  // namespace
}  // namespace vorn_fakes

namespace vorn_fakes {
namespace {

// What a session does: read the registered path, load it, find WABOpen.
struct SessionView {
  std::string path;
  HMODULE module = nullptr;
  LPWABOPEN open = nullptr;
};

SessionView LookLikeASession() {
  SessionView view;
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, WAB_DLL_PATH_KEY, 0, KEY_ALL_ACCESS, &key) !=
      ERROR_SUCCESS) {
    return view;
  }
  char buffer[256] = {};
  DWORD cb = sizeof buffer;
  RegQueryValueExA(key, "", nullptr, nullptr, reinterpret_cast<LPBYTE>(buffer), &cb);
  RegCloseKey(key);
  view.path = buffer;
  view.module = LoadLibraryA(buffer);
  if (view.module) {
    view.open = reinterpret_cast<LPWABOPEN>(GetProcAddress(view.module, WAB_OPEN_ENTRY));
  }
  return view;
}

TEST(FakeWabModuleTest, TheRegisteredLibraryReachesTheBook) {
  FakeEnv env;
  FakeAddressBook book(env);
  book.AddContact("Ann", nullptr, nullptr);
  SessionView view;
  {
    FakeWabModule module(&book);
    ASSERT_TRUE(module.registered());
    ASSERT_TRUE(module.library().loaded());
    view = LookLikeASession();
    EXPECT_EQ(view.path, FakeWabLibraryPath());
    EXPECT_EQ(view.module, module.library().module()) << "the loader hands out the same library";
    ASSERT_NE(view.open, nullptr);

    ComPtr<IAddrBook> ab;
    ComPtr<IWABObject> wab;
    WAB_PARAM params{sizeof(WAB_PARAM), nullptr, nullptr, 0};
    EXPECT_EQ(view.open(ab.Put(), wab.Put(), &params, 0), S_OK);
    EXPECT_TRUE(ab && wab);
    EXPECT_EQ(env.log.Last("WABOpen").Num("cbSize"), sizeof(WAB_PARAM));
    EXPECT_TRUE(env.log.Last("WABOpen").IsNull("szFileName"));

    book.wabOpenStatus = E_ACCESSDENIED;
    EXPECT_EQ(view.open(ab.Put(), wab.Put(), nullptr, 0), E_ACCESSDENIED);
    EXPECT_FALSE(ab || wab);
    EXPECT_TRUE(env.log.Last("WABOpen").IsNull("params"));
  }
  // The book is detached and the registration gone; the session's own load
  // keeps the library, whose WABOpen now refuses.
  HKEY key = nullptr;
  EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, WAB_DLL_PATH_KEY, 0, KEY_ALL_ACCESS, &key),
            ERROR_FILE_NOT_FOUND);
  LPADRBOOK ab = reinterpret_cast<LPADRBOOK>(1);
  LPWABOBJECT wab = reinterpret_cast<LPWABOBJECT>(1);
  EXPECT_EQ(view.open(&ab, &wab, nullptr, 0), E_UNEXPECTED);
  EXPECT_EQ(ab, nullptr);
  EXPECT_EQ(wab, nullptr);
  EXPECT_TRUE(FreeLibrary(view.module));
  EXPECT_THAT(env.log.LiveObjects(), IsEmpty());
}

TEST(FakeWabModuleTest, AbsentAndEntrylessLibraries) {
  {
    FakeWabModule module(nullptr, FakeWabLibraryWithoutEntryPath());
    SessionView view = LookLikeASession();
    EXPECT_EQ(view.path, FakeWabLibraryWithoutEntryPath());
    EXPECT_NE(view.module, nullptr);
    EXPECT_EQ(view.open, nullptr);
    FreeLibrary(view.module);
  }
  {
    FakeWabModule module(nullptr, "/nonexistent/vornfakewab.so");
    EXPECT_TRUE(module.registered());
    EXPECT_FALSE(module.library().loaded());
    SessionView view = LookLikeASession();
    EXPECT_EQ(view.path, "/nonexistent/vornfakewab.so");
    EXPECT_EQ(view.module, nullptr);
  }
}

}  // namespace
}  // namespace vorn_fakes
