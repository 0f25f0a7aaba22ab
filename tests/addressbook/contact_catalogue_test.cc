// The contact catalogue of CMailStore: LoadContacts against the fake address
// book library, the queries by index, and what is given back on every path.

#include <functional>
#include <string>
#include <vector>

#include "tests/fakes/fake_address_book.h"
#include "tests/fakes/fault_sweep.h"
#include "tests/store/mail_world.h"

namespace {

using testing::ElementsAre;
using testing::IsEmpty;
using testing::SizeIs;
using vorn_fakes::FakeAddressBook;
using vorn_fakes::FakeWabModule;
using vorn_fakes::WabProp;
using vorn_test::MailWorld;

// "display|nickname|email" for every contact of the list.
std::vector<std::string> Contacts(const CMailStore& mail) {
  std::vector<std::string> contacts;
  for (int i = 0; i < mail.GetContactCount(); ++i) {
    contacts.push_back(mail.GetContactDisplayName(i) + "|" + mail.GetContactNickname(i) + "|" +
                       mail.GetContactEmail(i));
  }
  return contacts;
}

// A session whose address book library serves `book`.
struct BookWorld : MailWorld {
  BookWorld() : book(env), module(&book) {
    book.AddContact("Ann Smith", "ann", "ann@example.org");
    book.AddContact("Bob Jones", nullptr, "bob@example.org");
    EXPECT_TRUE(module.registered() && module.library().loaded());
    EXPECT_EQ(mail->OpenSession(), 1);
  }
  // Everything the address book handed out for one load went back.
  void CheckGivenBack() {
    EXPECT_EQ(book.BuffersFreed(), book.BuffersHandedOut());
    EXPECT_THAT(book.LiveBuffers(), IsEmpty());
    EXPECT_THAT(env.log.LiveObjects("ABContainer"), IsEmpty());
    EXPECT_THAT(env.log.LiveObjects("MailUser"), IsEmpty());
    EXPECT_THAT(env.log.LiveObjects("MAPITable"), IsEmpty());
    EXPECT_THAT(env.log.Errors(), IsEmpty());
  }
  FakeAddressBook book;
  FakeWabModule module;
};

const std::vector<std::string> kTwo = {"Ann Smith|ann|ann@example.org",
                                       "Bob Jones||bob@example.org"};

TEST(LoadContacts, ReadsEveryRowWithTheDocumentedCalls) {
  BookWorld w;
  w.env.log.ClearCalls();
  EXPECT_EQ(w.mail->LoadContacts(), 1);
  EXPECT_EQ(Contacts(*w.mail), kTwo);
  // (The fakes answer their own QueryInterface calls when handing objects out.)
  std::vector<std::string> methods = w.env.log.Methods();
  std::erase(methods, "QueryInterface");
  EXPECT_THAT(methods,
              ElementsAre("GetPAB", "OpenEntry", "GetContentsTable", "GetRowCount", "QueryRows",
                          "FreeBuffer", "FreeBuffer", "FreeBuffer", "FreeBuffer"));
  const auto& open = w.env.log.Last("OpenEntry");
  EXPECT_EQ(open.Num("cbEntryId"), w.book.pabEntryId.size());
  EXPECT_TRUE(open.IsNull("iid"));
  EXPECT_EQ(open.Num("flags"), MAPI_BEST_ACCESS);
  EXPECT_EQ(w.env.log.Last("GetContentsTable").Num("flags"), 0u);
  EXPECT_EQ(w.env.log.Last("GetRowCount").Num("flags"), 0u);
  EXPECT_EQ(w.env.log.Last("QueryRows").Num("rowCount"), 2u);
  EXPECT_EQ(w.env.log.Last("QueryRows").Num("flags"), 0u);
  w.CheckGivenBack();
  w.EndAndCheck();
}

TEST(LoadContacts, OnlyTheThreeEightBitPropertiesAreRead) {
  BookWorld w;
  w.book.rows = {
      {WabProp::String8(PR_DISPLAY_NAME_A, "first"), WabProp::String8(PR_DISPLAY_NAME_A, "later"),
       WabProp::String8(PR_EMAIL_ADDRESS_A, "e@x")},
      {WabProp::Unicode(PR_DISPLAY_NAME_W, u"wide only"),
       WabProp::Error(PR_NICKNAME_A, MAPI_E_NOT_FOUND),
       WabProp::Long(PR_OBJECT_TYPE, MAPI_MAILUSER)},
      {},  // no values at all
      {WabProp::NullString8(PR_DISPLAY_NAME_A), WabProp::String8(PR_NICKNAME_A, "nick"),
       WabProp::String8(PROP_TAG(PT_STRING8, 0x3002), "SMTP")},
  };
  EXPECT_EQ(w.mail->LoadContacts(), 1);
  EXPECT_THAT(Contacts(*w.mail), ElementsAre("later||e@x", "||", "||", "|nick|"));
  for (int32_t index : {-1, 4, INT32_MIN, INT32_MAX}) {
    EXPECT_EQ(w.mail->GetContactDisplayName(index), "") << index;
    EXPECT_EQ(w.mail->GetContactNickname(index), "") << index;
    EXPECT_EQ(w.mail->GetContactEmail(index), "") << index;
  }
  w.CheckGivenBack();
  w.EndAndCheck();
}

TEST(LoadContacts, EachFailingStepKeepsTheListAndGivesBackWhatItGot) {
  struct Case {
    const char* name;
    std::function<void(FakeAddressBook&)> arrange;
    int result;
    std::vector<std::string> after;
  };
  const std::vector<Case> cases = {
      {"GetPAB fails", [](FakeAddressBook& b) { b.getPabStatus = E_FAIL; }, 0, kTwo},
      {"GetPAB answers a warning",
       [](FakeAddressBook& b) {
         b.getPabStatus = S_FALSE;
         b.handOutOnWarning = true;
       },
       0, kTwo},
      {"OpenEntry fails", [](FakeAddressBook& b) { b.openEntryStatus = MAPI_E_NOT_FOUND; }, 0,
       kTwo},
      {"OpenEntry answers a warning",
       [](FakeAddressBook& b) {
         b.openEntryStatus = S_FALSE;
         b.handOutOnWarning = true;
       },
       0, kTwo},
      {"the entry is not a container",
       [](FakeAddressBook& b) { b.objectType = MAPI_MAILUSER; }, 1, kTwo},
      {"GetContentsTable fails", [](FakeAddressBook& b) { b.contentsTableStatus = E_FAIL; }, 0,
       kTwo},
      {"GetRowCount fails", [](FakeAddressBook& b) { b.rowCountStatus = E_FAIL; }, 0, kTwo},
      {"QueryRows fails", [](FakeAddressBook& b) { b.queryRowsStatus = E_FAIL; }, 0, kTwo},
      {"QueryRows answers a warning with rows",
       [](FakeAddressBook& b) {
         b.queryRowsStatus = S_FALSE;
         b.handOutOnWarning = true;
       },
       0, kTwo},
      // Contacts removed from the address book must not go on being listed.
      {"no rows any more", [](FakeAddressBook& b) { b.rows.clear(); }, 0, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    BookWorld w;
    ASSERT_EQ(w.mail->LoadContacts(), 1);
    ASSERT_EQ(Contacts(*w.mail), kTwo);
    w.book.rows.push_back({WabProp::String8(PR_DISPLAY_NAME_A, "Cy")});
    c.arrange(w.book);
    EXPECT_EQ(w.mail->LoadContacts(), c.result);
    EXPECT_EQ(Contacts(*w.mail), c.after);
    w.CheckGivenBack();
    w.EndAndCheck();
  }
}

TEST(LoadContacts, ALaterLoadReplacesTheWholeList) {
  BookWorld w;
  ASSERT_EQ(w.mail->LoadContacts(), 1);
  w.book.rows.erase(w.book.rows.begin());
  w.book.AddContact("Cy", "c", "cy@example.org");
  EXPECT_EQ(w.mail->LoadContacts(), 1);
  EXPECT_THAT(Contacts(*w.mail),
              ElementsAre("Bob Jones||bob@example.org", "Cy|c|cy@example.org"));
  w.CheckGivenBack();
  w.EndAndCheck();
}

TEST(LoadContacts, WithoutAnOpenAddressBookNothingIsCalled) {
  struct Case {
    const char* name;
    std::function<void(MailWorld&, FakeAddressBook&)> arrange;
  };
  const std::vector<Case> cases = {
      {"no library registered", [](MailWorld& w, FakeAddressBook&) { w.mail->OpenSession(); }},
      {"WABOpen failed",
       [](MailWorld& w, FakeAddressBook& b) {
         b.wabOpenStatus = E_FAIL;
         vorn_fakes::RegisterWabPath(vorn_fakes::FakeWabLibraryPath());
         EXPECT_EQ(w.mail->OpenSession(), 0);
         EXPECT_NE(MailStoreTestPeer::WabOpen(*w.mail), nullptr);
       }},
      {"WABOpen failed, then the library went away",
       [](MailWorld& w, FakeAddressBook& b) {
         b.wabOpenStatus = E_FAIL;
         vorn_fakes::RegisterWabPath(vorn_fakes::FakeWabLibraryPath());
         EXPECT_EQ(w.mail->OpenSession(), 0);
         vorn_fakes::UnregisterWabPath();
         EXPECT_EQ(w.mail->OpenSession(), 1);
       }},
      {"WABOpen answered a warning without objects",
       [](MailWorld& w, FakeAddressBook& b) {
         b.wabOpenStatus = S_FALSE;
         vorn_fakes::RegisterWabPath(vorn_fakes::FakeWabLibraryPath());
         EXPECT_EQ(w.mail->OpenSession(), 1);
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    MailWorld w;
    FakeAddressBook book(w.env);
    book.AddContact("Ann", "a", "a@x");
    vorn_fakes::FakeWabLibrary library(&book);
    c.arrange(w, book);
    w.env.log.ClearCalls();
    EXPECT_EQ(w.mail->LoadContacts(), 0);
    EXPECT_THAT(w.env.log.Methods(), IsEmpty());
    EXPECT_EQ(w.mail->GetContactCount(), 0);
    EXPECT_EQ(w.mail->GetContactDisplayName(0), "");
    EXPECT_EQ(w.mail->GetContactNickname(0), "");
    EXPECT_EQ(w.mail->GetContactEmail(0), "");
    w.EndAndCheck();
    vorn_fakes::UnregisterWabPath();
  }
}

// LoadContacts with address book call N failing, N = 1, 2, ...: every buffer
// handed out is freed and every object obtained released, and the list is
// either the one from before or the whole new one.
TEST(LoadContacts, FaultSweepGivesBackEveryBufferAndObject) {
  BookWorld w;
  ASSERT_EQ(w.mail->LoadContacts(), 1);
  w.book.AddContact("Cy", "c", "cy@example.org");
  std::vector<std::string> three = kTwo;
  three.push_back("Cy|c|cy@example.org");
  const int fired = vorn_fakes::SweepFaults(
      w.env.faults, [&] { return w.mail->LoadContacts(); },
      [&](const vorn_fakes::SweepRun& run, int result) {
        w.CheckGivenBack();
        if (run.fired) {
          EXPECT_EQ(result, 0) << run;
          EXPECT_EQ(Contacts(*w.mail), kTwo) << run;
        } else {
          EXPECT_EQ(result, 1);
          EXPECT_EQ(Contacts(*w.mail), three);
        }
      });
  EXPECT_EQ(fired, 5);  // GetPAB, OpenEntry, GetContentsTable, GetRowCount, QueryRows
  w.EndAndCheck();
}

}  // namespace
