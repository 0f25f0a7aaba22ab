// The store server's helpers: subject normalisation, charset code pages,
// priorities, folder-name rules and the SQLite status mapping.

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <cerrno>
#include <string>

#include "services/store/digest.h"
#include "services/store/folder_names.h"
#include "services/store/header_fields.h"
#include "services/store/sqlite_db.h"

namespace {

using namespace vorn_store;

TEST(NormaliseSubject, RemovesReplyAndForwardPrefixes) {
  struct Case {
    const char* subject;
    const char* normal;
  } cases[] = {
      {"Hello", "Hello"},
      {"Re: Hello", "Hello"},
      {"RE: Hello", "Hello"},
      {"re:Hello", "Hello"},
      {"Fw: Hello", "Hello"},
      {"FWD: Hello", "Hello"},
      {"Re: Fwd: RE: fw: Hello", "Hello"},
      {"  Re:  Re:\tHello", "Hello"},
      {"Re:", ""},
      {"Regarding: Hello", "Regarding: Hello"},
      {"Fwded: Hello", "Fwded: Hello"},
      {"Hello Re: there", "Hello Re: there"},
      {"Re: Re", "Re"},
      {"", ""},
  };
  for (const Case& c : cases) EXPECT_EQ(c.normal, NormaliseSubject(c.subject)) << c.subject;
}

TEST(CodePageFromCharset, KnownNamesAndAliases) {
  struct Case {
    const char* charset;
    DWORD codePage;
  } cases[] = {
      {"utf-8", 65001},        {"UTF-8", 65001},   {"iso-8859-1", 28591}, {"ISO-8859-1", 28591},
      {"latin1", 28591},       {"windows-1252", 1252}, {"Windows-1252", 1252}, {"cp1251", 1251},
      {"us-ascii", 20127},     {"koi8-r", 20866},  {"shift_jis", 932},    {"iso-8859-15", 28605},
      {" utf-8 ", 65001},      {"", 0},            {"x-unknown", 0},      {"windows-", 0},
      {"cp99999999", 0},       {"utf-8x", 0},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.codePage, CodePageFromCharset(c.charset)) << "'" << c.charset << "'";
  }
}

TEST(PriorityFromFields, XPriorityThenImportance) {
  struct Case {
    const char* xPriority;
    const char* importance;
    IMSGPRIORITY priority;
  } cases[] = {
      {nullptr, nullptr, IMSG_PRI_NORMAL},
      {"1 (Highest)", nullptr, IMSG_PRI_HIGH},
      {"2", nullptr, IMSG_PRI_HIGH},
      {" 3 (Normal)", nullptr, IMSG_PRI_NORMAL},
      {"4", nullptr, IMSG_PRI_LOW},
      {"5 (Lowest)", "high", IMSG_PRI_LOW},
      {"12", "low", IMSG_PRI_LOW},  // not a priority number: Importance decides
      {"urgent", "High", IMSG_PRI_HIGH},
      {nullptr, " low ", IMSG_PRI_LOW},
      {nullptr, "normal", IMSG_PRI_NORMAL},
      {nullptr, "whatever", IMSG_PRI_NORMAL},
      {"0", nullptr, IMSG_PRI_NORMAL},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.priority, PriorityFromFields(c.xPriority, c.importance))
        << (c.xPriority ? c.xPriority : "-") << " / " << (c.importance ? c.importance : "-");
  }
}

TEST(FolderNames, RulesAndKeys) {
  struct Case {
    std::string name;
    bool valid;
  } cases[] = {
      {"Inbox", true},
      {"a", true},
      {std::string(255, 'x'), true},
      {std::string(256, 'x'), false},
      {"", false},
      {"tab\there", false},
      {"line\nbreak", false},
      {std::string("nul\0inside", 10), false},
      {"del\x7f", false},
      {"c1\xC2\x85", false},         // U+0085, a C1 control
      {"bad\xFF utf-8", false},
      {"\xC3\xA4rger", true},        // "ärger"
      {"slash/and spaces ", true},
      {" ", false},
      {"   ", false},
      {"\xE3\x80\x80\xC2\xA0", false},  // ideographic and no-break space
      {" x ", true},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.valid ? S_OK : E_INVALIDARG, CheckFolderName(c.name)) << c.name;
  }
  EXPECT_EQ(FolderNameKey("INBOX"), FolderNameKey("inbox"));
  EXPECT_EQ(FolderNameKey("Stra\xC3\x9F" "e"), FolderNameKey("STRASSE"));
  EXPECT_EQ(FolderNameKey("\xC3\x89t\xC3\xA9"), FolderNameKey("E\xCC\x81t\xC3\xA9"));  // É composed or not
  EXPECT_NE(FolderNameKey("Inbox"), FolderNameKey("Inbox2"));
}

TEST(StatusFromSqlite, EveryFailureIsNegativeAndNamed) {
  struct Case {
    int rc;
    HRESULT status;
  } cases[] = {
      {SQLITE_OK, S_OK},
      {SQLITE_DONE, S_OK},
      {SQLITE_ROW, S_OK},
      {SQLITE_FULL, STG_E_MEDIUMFULL},
      {SQLITE_TOOBIG, STG_E_MEDIUMFULL},
      {SQLITE_READONLY, STG_E_ACCESSDENIED},
      {SQLITE_READONLY_DBMOVED, STG_E_ACCESSDENIED},
      {SQLITE_CANTOPEN, STG_E_ACCESSDENIED},
      {SQLITE_PERM, STG_E_ACCESSDENIED},
      {SQLITE_BUSY, STG_E_LOCKVIOLATION},
      {SQLITE_BUSY_SNAPSHOT, STG_E_LOCKVIOLATION},
      {SQLITE_LOCKED, STG_E_LOCKVIOLATION},
      {SQLITE_CORRUPT, STG_E_DOCFILECORRUPT},
      {SQLITE_NOTADB, STG_E_DOCFILECORRUPT},
      {SQLITE_IOERR_READ, STG_E_READFAULT},
      {SQLITE_IOERR_SHORT_READ, STG_E_READFAULT},
      {SQLITE_IOERR_WRITE, STG_E_WRITEFAULT},
      {SQLITE_IOERR_FSYNC, STG_E_WRITEFAULT},
      {SQLITE_IOERR_NOMEM, E_OUTOFMEMORY},
      {SQLITE_NOMEM, E_OUTOFMEMORY},
      {SQLITE_CONSTRAINT_PRIMARYKEY, E_INVALIDARG},
      {SQLITE_CONSTRAINT_UNIQUE, STORE_E_ALREADYEXISTS},
      {SQLITE_ERROR, E_FAIL},
      {SQLITE_INTERRUPT, E_ABORT},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.status, StatusFromSqlite(c.rc)) << "sqlite code " << c.rc;
  }
  EXPECT_EQ(STG_E_MEDIUMFULL, StatusFromErrno(ENOSPC));
  EXPECT_EQ(STG_E_ACCESSDENIED, StatusFromErrno(EROFS));
  EXPECT_EQ(STG_E_ACCESSDENIED, StatusFromErrno(EACCES));
  EXPECT_LT(StatusFromErrno(EIO), 0);
}

TEST(ComputeDigest, IsSha256) {
  auto hex = [](const Digest& digest) {
    static const char* digits = "0123456789abcdef";
    std::string text;
    for (uint8_t byte : digest) {
      text += digits[byte >> 4];
      text += digits[byte & 15];
    }
    return text;
  };
  EXPECT_EQ("e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855",
            hex(ComputeDigest("", 0)));
  EXPECT_EQ("ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad",
            hex(ComputeDigest("abc", 3)));
}

}  // namespace
