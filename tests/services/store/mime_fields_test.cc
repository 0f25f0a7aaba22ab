// The header fields the store caches, read through the real MIME library:
// decoded texts, display names, the sent time, the language and the
// attachment flag; and OpenMessage handing out the library's parsed message.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/mime.h"
#include "platform/runtime.h"
#include "platform/systime.h"
#include "tests/services/store/store_fixture.h"

namespace store_test {
namespace {

class MimeFieldsTest : public StoreTest {
 protected:
  bool UsesMimeLibrary() const override { return true; }
};

uint64_t Ticks(WORD year, WORD month, WORD day, WORD hour, WORD minute, WORD second) {
  SYSTEMTIME time{year, month, 0, day, hour, minute, second, 0};
  FILETIME file{};
  EXPECT_TRUE(SystemTimeToFileTime(&time, &file));
  return (uint64_t{file.dwHighDateTime} << 32) | file.dwLowDateTime;
}

const char kMultipart[] =
    "From: =?utf-8?b?SsO8cmdlbg==?= <juergen@example.org>\r\n"
    "To: Bob <bob@example.org>, \"Carol, C.\" <carol@example.org>, dave@example.org\r\n"
    "Subject: =?iso-8859-1?q?Gr=FC=DFe?= aus Bern\r\n"
    "Date: Mon, 3 Jan 2005 09:05:03 +0100\r\n"
    "Importance: high\r\n"
    "MIME-Version: 1.0\r\n"
    "Content-Type: multipart/mixed; boundary=\"b1\"\r\n"
    "\r\n"
    "--b1\r\n"
    "Content-Type: text/plain; charset=iso-8859-1\r\n"
    "\r\n"
    "Hallo\r\n"
    "--b1\r\n"
    "Content-Type: application/octet-stream\r\n"
    "Content-Disposition: attachment; filename=\"report.pdf\"\r\n"
    "Content-Transfer-Encoding: base64\r\n"
    "\r\n"
    "JVBERi0=\r\n"
    "--b1--\r\n";

TEST_F(MimeFieldsTest, FieldsAreReadThroughTheMimeLibrary) {
  struct Case {
    const char* what;
    std::string raw;
    std::string subject, normal, from, to;
    uint64_t sent;
    DWORD language;
    DWORD priority;
    DWORD flags;
  } cases[] = {
      {"multipart with an attachment", kMultipart, "Gr\xC3\xBC\xC3\x9F" "e aus Bern",
       "Gr\xC3\xBC\xC3\x9F" "e aus Bern", "J\xC3\xBCrgen", "Bob; Carol, C.; dave@example.org",
       Ticks(2005, 1, 3, 8, 5, 3), 28591, IMSG_PRI_HIGH, MSGFLAG_ATTACHMENT},
      {"plain utf-8",
       "From: ann@example.org\r\nTo: Bob <bob@example.org>\r\nSubject: Fwd: RE: News\r\n"
       "Date: Sun, 28 Oct 2007 17:40:00 GMT\r\nX-Priority: 5 (Lowest)\r\n"
       "Content-Type: text/plain; charset=UTF-8\r\n\r\nHi\r\n",
       "Fwd: RE: News", "News", "ann@example.org", "Bob", Ticks(2007, 10, 28, 17, 40, 0), 65001,
       IMSG_PRI_LOW, 0},
      {"windows-1252, a date that is no date",
       "From: A <a@example.org>\r\nSubject: x\r\nDate: sometime soon\r\n"
       "Content-Type: text/plain; charset=windows-1252\r\n\r\nx\r\n",
       "x", "x", "A", "", 0, 1252, IMSG_PRI_NORMAL, 0},
      {"encoded words split where mailers split them, a date of 1950, 7-bit text",
       "From: =?utf-8?q?J=C3?= =?utf-8?q?=BCrgen?= <j@example.org>\r\n"
       "To: =?iso-8859-1?q?Ren=E9?= =?utf-8?b?ZSBEdWJvaXM=?= <rene@example.org>\r\n"
       "Subject: Re: =?utf-8?b?Z3I=?=\r\n =?utf-8?b?w7zDn2U=?=\r\n"
       "Date: Fri, 3 Feb 1950 14:30:00 -0500\r\n\r\nHi\r\n",
       "Re: gr\xC3\xBC\xC3\x9F" "e", "gr\xC3\xBC\xC3\x9F" "e", "J\xC3\xBCrgen",
       "Ren\xC3\xA9" "e Dubois", Ticks(1950, 2, 3, 19, 30, 0), 20127, IMSG_PRI_NORMAL, 0},
      {"a NUL in an encoded word, a year 0001, undeclared UTF-8 text",
       "From: a@example.org\r\nSubject: =?x-unknown?b?YmVmb3JlAGFmdGVy?= and the rest\r\n"
       "Date: 1 Jan 0001 00:00:00 +0000\r\n\r\nCaf\xC3\xA9\r\n",
       "beforeafter and the rest", "beforeafter and the rest", "a@example.org", "", 0, 65001,
       IMSG_PRI_NORMAL, 0},
      {"undeclared 8-bit text that is not UTF-8",
       "From: a@example.org\r\nSubject: Caf\xE9\r\n\r\nCaf\xE9\r\n", "Caf\xC3\xA9",
       "Caf\xC3\xA9", "a@example.org", "", 0, 1252, IMSG_PRI_NORMAL, 0},
      {"an unknown charset, no header at all beyond it",
       "Content-Type: text/plain; charset=x-martian\r\n\r\nzz\r\n", "", "", "", "", 0, 0,
       IMSG_PRI_NORMAL, 0},
  };
  ComPtr<IStoreFolder> inbox = Open(Inbox());
  for (const Case& c : cases) Commit(inbox.Get(), c.raw);
  std::vector<MessageRow> rows = Messages(inbox.Get());
  ASSERT_EQ(std::size(cases), rows.size());
  for (size_t i = 0; i < rows.size(); ++i) {
    const Case& c = cases[i];
    const MessageRow& m = rows[i];
    SCOPED_TRACE(c.what);
    EXPECT_EQ(c.subject, m.subject);
    EXPECT_EQ(c.normal, m.normalSubject);
    EXPECT_EQ(c.from, m.from);
    EXPECT_EQ(c.to, m.to);
    EXPECT_EQ(c.sent, m.sent);
    EXPECT_EQ(c.language, m.language);
    EXPECT_EQ(c.priority, m.priority);
    EXPECT_EQ(c.flags, m.flags);
    EXPECT_EQ(c.raw.size(), m.size);
  }
}

TEST_F(MimeFieldsTest, OpenMessageGivesTheLibrarysParsedMessage) {
  ComPtr<IStoreFolder> inbox = Open(Inbox());
  MESSAGEID id = Commit(inbox.Get(), kMultipart);
  ComPtr<IMimeMessage> message;
  ASSERT_EQ(S_OK, inbox->OpenMessage(id, IID_IMimeMessage, message.PutVoid()));
  HBODY root = HBODY_NULL;
  ASSERT_EQ(S_OK, message->GetBody(IBL_ROOT, HBODY_NULL, &root));
  PROPVARIANT type;
  PropVariantInit(&type);
  type.vt = VT_LPSTR;
  ASSERT_EQ(S_OK, message->GetBodyProp(root, PIDTOSTR(PID_HDR_CNTTYPE), 0, &type));
  EXPECT_STREQ("multipart/mixed", type.pszVal);
  PropVariantClear(&type);
  ULONG count = 0;
  LPHBODY bodies = nullptr;
  ASSERT_EQ(S_OK, message->GetAttachments(&count, &bodies));
  EXPECT_EQ(1u, count);
  CoTaskMemFree(bodies);
}

}  // namespace
}  // namespace store_test
