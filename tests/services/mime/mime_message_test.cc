// Behaviour of the MIME library's message, body and property-set objects.

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "platform/runtime.h"
#include "tests/services/mime/mime_model.h"
#include "tests/services/mime/mime_test_support.h"

namespace {

using mime_test::DataFile;
using mime_test::LoadMessage;
using mime_test::ReadAll;
using mime_test::StreamOf;

// Follows `path` from the root: each letter a step (F first child, L last
// child, N next, P previous, U parent). HBODY_NULL when a step fails.
HBODY Walk(IMimeMessage* message, const std::string& path) {
  HBODY body = HBODY_NULL;
  if (FAILED(message->GetBody(IBL_ROOT, HBODY_NULL, &body))) return HBODY_NULL;
  for (char step : path) {
    BODYLOCATION location = step == 'F'   ? IBL_FIRST
                            : step == 'L' ? IBL_LAST
                            : step == 'N' ? IBL_NEXT
                            : step == 'P' ? IBL_PREVIOUS
                                          : IBL_PARENT;
    if (FAILED(message->GetBody(location, body, &body))) return HBODY_NULL;
  }
  return body;
}

std::string TypeOf(IMimeMessage* message, HBODY body) {
  PROPVARIANT value;
  PropVariantInit(&value);
  value.vt = VT_LPSTR;
  if (FAILED(message->GetBodyProp(body, PIDTOSTR(PID_HDR_CNTTYPE), 0, &value))) return "(failed)";
  std::string type = value.pszVal;
  PropVariantClear(&value);
  return type;
}

std::string DataOf(IMimeMessage* message, HBODY body, ENCODINGTYPE encoding) {
  ComPtr<IMimeBody> part;
  if (FAILED(message->BindToObject(body, IID_IMimeBody, part.PutVoid()))) return "(no body)";
  ComPtr<IStream> data;
  if (FAILED(part->GetData(encoding, data.Put()))) return "(no data)";
  return ReadAll(data.Get());
}

std::string Utf16(const std::u16string& text) {
  return std::string(reinterpret_cast<const char*>(text.data()), text.size() * 2);
}

TEST(MimeMessage, NavigatesTheBodyTree) {
  ComPtr<IMimeMessage> message = LoadMessage(DataFile("mixed-attachments.eml"));
  struct Case {
    const char* path;
    const char* type;
  } cases[] = {
      {"", "multipart/mixed"},          {"F", "multipart/alternative"},
      {"FF", "text/plain"},             {"FFN", "text/html"},
      {"FL", "text/html"},              {"FLP", "text/plain"},
      {"FN", "application/pdf"},        {"FNN", "image/png"},
      {"L", "text/plain"},              {"LP", "text/plain"},
      {"FFU", "multipart/alternative"}, {"FFUU", "multipart/mixed"},
  };
  for (const Case& c : cases) {
    HBODY body = Walk(message.Get(), c.path);
    ASSERT_NE(HBODY_NULL, body) << c.path;
    EXPECT_EQ(c.type, TypeOf(message.Get(), body)) << c.path;
  }
  for (const char* beyond : {"U", "N", "P", "FFF", "FFL", "FLN", "LN"}) {
    HBODY start = Walk(message.Get(), std::string(beyond).substr(0, strlen(beyond) - 1));
    HBODY found = 12345;
    BODYLOCATION location = beyond[strlen(beyond) - 1] == 'U'   ? IBL_PARENT
                            : beyond[strlen(beyond) - 1] == 'N' ? IBL_NEXT
                            : beyond[strlen(beyond) - 1] == 'P' ? IBL_PREVIOUS
                            : beyond[strlen(beyond) - 1] == 'F' ? IBL_FIRST
                                                                : IBL_LAST;
    EXPECT_EQ(MIME_E_NOT_FOUND, message->GetBody(location, start, &found)) << beyond;
    EXPECT_EQ(HBODY_NULL, found) << beyond;
  }
  HBODY root = Walk(message.Get(), "");
  HBODY out;
  EXPECT_EQ(E_INVALIDARG, message->GetBody(static_cast<BODYLOCATION>(9), root, &out));
  EXPECT_EQ(E_POINTER, message->GetBody(IBL_ROOT, HBODY_NULL, nullptr));
}

TEST(MimeMessage, RefusesHandlesItDidNotIssue) {
  ComPtr<IMimeMessage> message = LoadMessage(DataFile("mixed-attachments.eml"));
  ComPtr<IMimeMessage> other = LoadMessage(DataFile("mixed-attachments.eml"));
  HBODY root = Walk(message.Get(), "");
  HBODY pdf = Walk(message.Get(), "FN");
  HBODY foreign = Walk(other.Get(), "FN");
  ASSERT_NE(HBODY_NULL, root);
  ASSERT_NE(foreign, pdf);

  ComPtr<IPersistStreamInit> persist;
  ASSERT_EQ(S_OK, message.As(&persist));
  ASSERT_EQ(S_OK, persist->Load(StreamOf(DataFile("mixed-attachments.eml")).Get()));
  HBODY stale = pdf;

  for (HBODY bad : {HBODY_NULL, HBODY{0xFFFFFFFFu}, foreign, stale, root + 5000, root + 1}) {
    SCOPED_TRACE(bad);
    if (bad == root + 1) {
      // The same index in the reloaded message is a live handle there; the
      // old root's neighbour is not.
      bad = root + 1 == Walk(message.Get(), "F") ? HBODY{0xFFFFFFFEu} : root + 1;
    }
    HBODY found;
    EXPECT_EQ(MIME_E_INVALID_HANDLE, message->GetBody(IBL_FIRST, bad, &found));
    ComPtr<IMimeBody> body;
    EXPECT_EQ(MIME_E_INVALID_HANDLE, message->BindToObject(bad, IID_IMimeBody, body.PutVoid()));
    EXPECT_FALSE(body);
    PROPVARIANT value;
    PropVariantInit(&value);
    value.vt = VT_LPSTR;
    EXPECT_EQ(MIME_E_INVALID_HANDLE,
              message->GetBodyProp(bad, PIDTOSTR(PID_HDR_CNTTYPE), 0, &value));
    EXPECT_EQ(VT_EMPTY, value.vt);
    EXPECT_EQ(MIME_E_INVALID_HANDLE, message->IsBodyType(bad, IBT_ATTACHMENT));
  }
  EXPECT_NE(HBODY_NULL, Walk(message.Get(), "FN"));
}

TEST(MimeMessage, BodiesOutliveTheirMessageAndItsReload) {
  ComPtr<IMimeMessage> message = LoadMessage(DataFile("alternative.eml"));
  ComPtr<IMimeBody> body;
  ASSERT_EQ(S_OK, message->BindToObject(Walk(message.Get(), "L"), IID_IMimeBody,
                                        body.PutVoid()));
  ComPtr<IPersistStreamInit> persist;
  ASSERT_EQ(S_OK, message.As(&persist));
  ASSERT_EQ(S_OK, persist->Load(StreamOf("Subject: other\r\n\r\nother text").Get()));
  persist = nullptr;
  message = nullptr;
  ComPtr<IStream> data;
  ASSERT_EQ(S_OK, body->GetData(IET_DECODED, data.Put()));
  EXPECT_EQ("Hello reader\r\nThis is the plain version.\r\n", ReadAll(data.Get()));
}

TEST(MimeMessage, GivesDataInEachEncoding) {
  ComPtr<IMimeMessage> mixed = LoadMessage(DataFile("mixed-attachments.eml"));
  ComPtr<IMimeMessage> base64 = LoadMessage(DataFile("base64-utf8.eml"));
  ComPtr<IMimeMessage> latin = LoadMessage(DataFile("qp-latin1.eml"));
  std::string pdf = "%PDF-1.4\n%\xe2\xe3\xcf\xd3\n1 0 obj<<>>endobj\ntrailer<<>>\n%%EOF\n";
  struct Case {
    IMimeMessage* message;
    const char* path;
    ENCODINGTYPE encoding;
    std::string expected;
  } cases[] = {
      // A leaf: as stored, transfer-decoded, and (not text) decoded again.
      {mixed.Get(), "FN", IET_BINARY,
       "JVBERi0xLjQKJeLjz9MKMSAwIG9iajw8Pj5lbmRvYmoKdHJhaWxlcjw8Pj4KJSVFT0YK\r\n"},
      {mixed.Get(), "FN", IET_DECODED, pdf},
      {mixed.Get(), "FN", IET_UNICODE, pdf},
      // Text: UTF-16LE after transfer and charset decoding.
      {latin.Get(), "", IET_DECODED, "Gr\xFC\xDF" "e aus M\xFCnchen!\r\n"
                                     "Der Preis betr\xE4gt 10 \x80, die Formel lautet a=b.\r\n"
                                     "Eine sehr lange Zeile, die mit einem weichen "
                                     "Zeilenumbruch fortgesetzt wird.\r\n"},
      {latin.Get(), "", IET_UNICODE,
       Utf16(u"Grüße aus München!\r\nDer Preis beträgt 10 €, die Formel lautet a=b.\r\n"
             u"Eine sehr lange Zeile, die mit einem weichen Zeilenumbruch fortgesetzt wird.\r\n")},
      {base64.Get(), "", IET_UNICODE,
       Utf16(u"Привет, мир! 你好，世界\nEmoji: 😀🎉 and math 𝔸\nEnd.\n")},
      // A multipart: its main text as UTF-8.
      {mixed.Get(), "", IET_UNICODE, "Please find the report attached."},
      {mixed.Get(), "F", IET_UNICODE, "Please find the report attached."},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.expected, DataOf(c.message, Walk(c.message, c.path), c.encoding))
        << c.path << " " << c.encoding;
  }
  ComPtr<IMimeBody> body;
  ASSERT_EQ(S_OK, mixed->BindToObject(Walk(mixed.Get(), ""), IID_IMimeBody, body.PutVoid()));
  ComPtr<IStream> data;
  EXPECT_EQ(E_INVALIDARG, body->GetData(static_cast<ENCODINGTYPE>(3), data.Put()));
  EXPECT_FALSE(data);
}

// The reader converts each chunk of a text body on its own: a chunk must
// never end inside a character.
TEST(MimeMessage, TextStreamsDeliverWholeCharacters) {
  for (size_t prefix : {2045u, 2046u, 2047u, 4093u}) {
    SCOPED_TRACE(prefix);
    std::string text(prefix, 'a');
    text += "\xF0\x9F\x98\x80 tail";  // U+1F600, two UTF-16 units
    ComPtr<IMimeMessage> message = LoadMessage(
        "Content-Type: text/plain; charset=utf-8\r\n\r\n" + text);
    ComPtr<IMimeBody> body;
    ASSERT_EQ(S_OK, message->BindToObject(Walk(message.Get(), ""), IID_IMimeBody,
                                          body.PutVoid()));
    ComPtr<IStream> data;
    ASSERT_EQ(S_OK, body->GetData(IET_UNICODE, data.Put()));
    std::string joined;
    for (;;) {
      char16_t units[2048];
      ULONG got = 0;
      ASSERT_EQ(S_OK, data->Read(units, 4095, &got));
      if (got == 0) break;
      EXPECT_EQ(0u, got % 2);
      joined += mime_test::Utf16ToUtf8(units, got / 2);
    }
    EXPECT_EQ(text, joined);
  }
}

TEST(MimeMessage, DataStreamsAreReadOnlyAndSeekable) {
  ComPtr<IMimeMessage> message = LoadMessage("Subject: s\r\n\r\nabcdef");
  ComPtr<IMimeBody> body;
  ASSERT_EQ(S_OK, message->BindToObject(Walk(message.Get(), ""), IID_IMimeBody, body.PutVoid()));
  ComPtr<IStream> data;
  ASSERT_EQ(S_OK, body->GetData(IET_DECODED, data.Put()));
  ULONG written = 7;
  EXPECT_EQ(STG_E_ACCESSDENIED, data->Write("x", 1, &written));
  EXPECT_EQ(0u, written);
  STATSTG stat;
  ASSERT_EQ(S_OK, data->Stat(&stat, 0));
  EXPECT_EQ(6u, stat.cbSize.QuadPart);
  ULARGE_INTEGER position;
  EXPECT_EQ(S_OK, data->Seek(LARGE_INTEGER{-2}, STREAM_SEEK_END, &position));
  EXPECT_EQ(4u, position.QuadPart);
  EXPECT_EQ("ef", ReadAll(data.Get()));
  EXPECT_EQ(STG_E_INVALIDFUNCTION, data->Seek(LARGE_INTEGER{-7}, STREAM_SEEK_END, nullptr));
  EXPECT_EQ(S_OK, data->Seek(LARGE_INTEGER{100}, STREAM_SEEK_SET, nullptr));
  EXPECT_EQ("", ReadAll(data.Get()));
}

const char kHeaders[] =
    "From: \"Doe, Jane\" <jane@example.com>\r\n"
    "To: Team: a@example.com, \"B\" <b@example.com>;, c@example.com\r\n"
    "Cc: undisclosed-recipients:;\r\n"
    "Subject: =?utf-8?q?Caf=C3=A9?= is\r\n"
    "  open\r\n"
    "Date: Sun, 9 Jun 2024 01:02:03 +0100\r\n"
    "X-Priority: 1 (Highest)\r\n"
    "Importance: high\r\n"
    "Received: not a date\r\n"
    "Content-Type: Text/Plain; Charset=\"ISO-8859-15\"\r\n"
    "\r\n"
    "body\r\n";

TEST(MimePropertySet, ReadsHeaderFieldsInTheAskedForm) {
  ComPtr<IMimeMessage> message = LoadMessage(kHeaders);
  HBODY root = Walk(message.Get(), "");
  ComPtr<IMimePropertySet> props;
  ASSERT_EQ(S_OK, message->BindToObject(root, IID_IMimePropertySet, props.PutVoid()));
  struct Case {
    LPCSTR name;
    DWORD flags;
    HRESULT status;
    const char* text;
  } cases[] = {
      {"Subject", 0, S_OK, "Café is  open"},  // unfolding removes only the line break
      {"subject", 0, S_OK, "Café is  open"},
      {"From", 0, S_OK, "\"Doe, Jane\" <jane@example.com>"},
      {"From", PDF_DISPLAYNAMES, S_OK, "Doe, Jane"},
      {"From", PDF_ADDRESSES, S_OK, "jane@example.com"},
      {"To", PDF_DISPLAYNAMES, S_OK, "a@example.com; B; c@example.com"},
      {"To", PDF_ADDRESSES, S_OK, "a@example.com; b@example.com; c@example.com"},
      {"Cc", PDF_ADDRESSES, S_OK, ""},
      {"X-Priority", 0, S_OK, "1 (Highest)"},
      {"Importance", PDF_DISPLAYNAMES, S_OK, "high"},
      {PIDTOSTR(PID_HDR_CNTTYPE), 0, S_OK, "text/plain"},
      {"Content-Type", 0, S_OK, "Text/Plain; Charset=\"ISO-8859-15\""},
      {PIDSTR_MAIN_CHARSET, 0, S_OK, "iso-8859-15"},
      {"Bcc", 0, MIME_E_NOT_FOUND, nullptr},
      {"From", PDF_DISPLAYNAMES | PDF_ADDRESSES, E_INVALIDARG, nullptr},
      {"From", 0x10, E_INVALIDARG, nullptr},
      {PIDTOSTR(17), 0, E_INVALIDARG, nullptr},
      {nullptr, 0, E_INVALIDARG, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(ISPIDSTR(c.name) ? "(pid)" : c.name);
    PROPVARIANT value;
    PropVariantInit(&value);
    value.vt = VT_LPSTR;
    EXPECT_EQ(c.status, props->GetProp(c.name, c.flags, &value));
    if (c.text) {
      ASSERT_EQ(VT_LPSTR, value.vt);
      EXPECT_STREQ(c.text, value.pszVal);
    } else {
      EXPECT_EQ(VT_EMPTY, value.vt);
    }
    EXPECT_EQ(S_OK, PropVariantClear(&value));
  }
}

TEST(MimePropertySet, ReadsDatesAsUtcFileTimes) {
  ComPtr<IMimeMessage> message = LoadMessage(kHeaders);
  HBODY root = Walk(message.Get(), "");
  struct Case {
    LPCSTR name;
    VARTYPE vt;
    HRESULT status;
  } cases[] = {
      {"Date", VT_FILETIME, S_OK},
      {"Received", VT_FILETIME, E_FAIL},
      {"Resent-Date", VT_FILETIME, MIME_E_NOT_FOUND},
      {PIDSTR_MAIN_CHARSET, VT_FILETIME, E_FAIL},
      {"Date", VT_I4, E_INVALIDARG},
      {"Date", VT_BSTR, E_INVALIDARG},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    PROPVARIANT value;
    PropVariantInit(&value);
    value.vt = c.vt;
    EXPECT_EQ(c.status, message->GetBodyProp(root, c.name, 0, &value));
    if (c.status == S_OK) {
      ASSERT_EQ(VT_FILETIME, value.vt);
      // 2024-06-09 00:02:03 UTC
      uint64_t ticks =
          (uint64_t{value.filetime.dwHighDateTime} << 32) | value.filetime.dwLowDateTime;
      EXPECT_EQ((1717891323ULL + 11644473600ULL) * 10000000ULL, ticks);
    } else {
      EXPECT_EQ(VT_EMPTY, value.vt);
    }
  }
}

TEST(MimePropertySet, ReadsTheFieldsOfTheBodyItIsBoundTo) {
  ComPtr<IMimeMessage> message = LoadMessage(DataFile("nested-rfc822.eml"));
  struct Case {
    const char* path;
    const char* name;
    const char* text;
  } cases[] = {
      {"", "Subject", "Fwd: two messages"},
      {"FN", "Content-Type", "message/rfc822; name=\"original.eml\""},
      {"FN", "Subject", "(absent)"},
      // The enclosed message's body reads that message's own fields.
      {"FNF", "Subject", "Original"},
      {"FNF", "From", "heidi@example.com"},
      {"FNFF", "Subject", "(absent)"},
      {"L", PIDSTR_MAIN_CHARSET, ""},
      {"", PIDSTR_MAIN_CHARSET, "utf-8"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.path) + " " + c.name);
    HBODY body = Walk(message.Get(), c.path);
    ASSERT_NE(HBODY_NULL, body);
    ComPtr<IMimePropertySet> props;
    ASSERT_EQ(S_OK, message->BindToObject(body, IID_IMimePropertySet, props.PutVoid()));
    PROPVARIANT value;
    PropVariantInit(&value);
    value.vt = VT_LPSTR;
    HRESULT hr = props->GetProp(c.name, 0, &value);
    EXPECT_EQ(c.text, hr == MIME_E_NOT_FOUND ? std::string("(absent)") : std::string(value.pszVal));
    PropVariantClear(&value);
  }
}

TEST(MimeMessage, TellsAttachmentsFromTheRest) {
  ComPtr<IMimeMessage> message = LoadMessage(DataFile("mixed-attachments.eml") );
  ComPtr<IMimeMessage> nested = LoadMessage(DataFile("nested-rfc822.eml"));
  ComPtr<IMimeMessage> empty = LoadMessage(
      "Content-Type: multipart/mixed; boundary=b\r\n\r\n--b\r\n\r\n--b\r\n\r\nx\r\n--b--\r\n");
  struct Case {
    IMimeMessage* message;
    const char* path;
    IMSGBODYTYPE type;
    HRESULT expected;
  } cases[] = {
      {message.Get(), "", IBT_ATTACHMENT, S_FALSE},     // a multipart
      {message.Get(), "FF", IBT_ATTACHMENT, S_FALSE},   // the shown text
      {message.Get(), "FN", IBT_ATTACHMENT, S_OK},      // disposition attachment
      {message.Get(), "FNN", IBT_ATTACHMENT, S_OK},     // inline, but named
      {message.Get(), "LP", IBT_ATTACHMENT, S_OK},      // text, disposition attachment
      {message.Get(), "L", IBT_ATTACHMENT, S_FALSE},    // unnamed inline text
      {nested.Get(), "L", IBT_ATTACHMENT, S_OK},        // an enclosed message
      {message.Get(), "FN", IBT_EMPTY, S_FALSE},
      {empty.Get(), "F", IBT_EMPTY, S_OK},
      {empty.Get(), "L", IBT_EMPTY, S_FALSE},
      {empty.Get(), "", IBT_EMPTY, S_FALSE},
      {message.Get(), "FN", static_cast<IMSGBODYTYPE>(7), E_INVALIDARG},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.expected, c.message->IsBodyType(Walk(c.message, c.path), c.type))
        << c.path << " " << c.type;
  }

  ULONG count = 0;
  HBODY* bodies = nullptr;
  ASSERT_EQ(S_OK, message->GetAttachments(&count, &bodies));
  ASSERT_EQ(4u, count);
  const char* listed[] = {"FN", "FNN", "LP", "L"};
  for (ULONG i = 0; i < count; ++i) EXPECT_EQ(Walk(message.Get(), listed[i]), bodies[i]);
  CoTaskMemFree(bodies);

  ComPtr<IMimeMessage> plain = LoadMessage(DataFile("plain-no-mime.eml"));
  count = 7;
  bodies = reinterpret_cast<HBODY*>(&count);
  ASSERT_EQ(S_OK, plain->GetAttachments(&count, &bodies));
  EXPECT_EQ(0u, count);
  EXPECT_EQ(nullptr, bodies);
}

TEST(MimeBody, ReducesDisplayNames) {
  std::string longName(300, 'x');
  longName += ".txt";
  std::string accented;
  for (int i = 0; i < 200; ++i) accented += "\xC3\xA9";  // 400 bytes of é
  ComPtr<IMimeMessage> message = LoadMessage(
      "Content-Type: multipart/mixed; boundary=b\r\n\r\n"
      "--b\r\nContent-Type: text/plain\r\n\r\nbody\r\n"
      "--b\r\nContent-Disposition: attachment; filename=\"" + longName + "\"\r\n\r\nx\r\n"
      "--b\r\nContent-Type: image/gif; name=\"" + accented + "\"\r\n\r\nx\r\n"
      "--b\r\nContent-Type: image/gif; name=\"C:\\\\temp\\\\a.gif\"\r\n"
      "Content-Disposition: attachment; filename=\"\"\r\n\r\nx\r\n"
      "--b--\r\n");
  mime_test::ReaderView view = mime_test::ReadLikeReader(message.Get());
  ASSERT_EQ(3u, view.attachments.size());
  EXPECT_EQ(255u, view.attachments[0].size());
  EXPECT_EQ(std::string(255, 'x'), view.attachments[0]);
  EXPECT_EQ(accented.substr(0, 254), view.attachments[1]);
  EXPECT_EQ("a.gif", view.attachments[2]);

  ComPtr<IMimeBody> root;
  ASSERT_EQ(S_OK, message->BindToObject(Walk(message.Get(), ""), IID_IMimeBody, root.PutVoid()));
  LPSTR name = nullptr;
  ASSERT_EQ(S_OK, root->GetDisplayName(&name));
  EXPECT_STREQ("", name);
  CoTaskMemFree(name);
  EXPECT_EQ(E_POINTER, root->GetDisplayName(nullptr));
}

TEST(MimePersist, SavesExactlyWhatItLoaded) {
  std::string text = DataFile("nul-bytes.eml") + std::string("\0tail\r\n\xFF", 8);
  ComPtr<IMimeMessage> message = LoadMessage(text);
  ComPtr<IPersistStreamInit> persist;
  ASSERT_EQ(S_OK, message.As(&persist));
  auto* out = new mime_test::TextStream();
  ComPtr<IStream> sink = ComPtr<IStream>::Adopt(out);
  ASSERT_EQ(S_OK, persist->Save(sink.Get(), TRUE));
  EXPECT_EQ(text, out->text());
  ULARGE_INTEGER size;
  ASSERT_EQ(S_OK, persist->GetSizeMax(&size));
  EXPECT_EQ(text.size(), size.QuadPart);
  EXPECT_EQ(S_FALSE, persist->IsDirty());
  CLSID clsid;
  ASSERT_EQ(S_OK, persist->GetClassID(&clsid));
  EXPECT_EQ(CLSID_VornMimeMessage, clsid);

  // A stream that takes a few bytes a write still receives everything.
  auto* slow = new mime_test::TextStream();
  slow->LimitReads(3);
  ComPtr<IStream> slowSink = ComPtr<IStream>::Adopt(slow);
  ASSERT_EQ(S_OK, persist->Save(slowSink.Get(), FALSE));
  EXPECT_EQ(text, slow->text());
}

TEST(MimePersist, AFailedLoadKeepsTheMessage) {
  ComPtr<IMimeMessage> message = LoadMessage(DataFile("alternative.eml"));
  HBODY root = Walk(message.Get(), "");
  ComPtr<IPersistStreamInit> persist;
  ASSERT_EQ(S_OK, message.As(&persist));

  auto* failing = new mime_test::TextStream(DataFile("plain-no-mime.eml"));
  failing->LimitReads(10);
  failing->FailReadsAfter(50);
  ComPtr<IStream> source = ComPtr<IStream>::Adopt(failing);
  EXPECT_EQ(STG_E_READFAULT, persist->Load(source.Get()));
  EXPECT_EQ(root, Walk(message.Get(), ""));
  EXPECT_EQ("Hello reader\r\nThis is the plain version.\r\n",
            DataOf(message.Get(), root, IET_UNICODE));
  EXPECT_EQ(E_POINTER, persist->Load(nullptr));

  // Small reads are joined into the whole text.
  auto* trickle = new mime_test::TextStream(DataFile("plain-no-mime.eml"));
  trickle->LimitReads(1);
  ComPtr<IStream> slow = ComPtr<IStream>::Adopt(trickle);
  ASSERT_EQ(S_OK, persist->Load(slow.Get()));
  EXPECT_EQ("Lunch on Friday", mime_test::RootProp(message.Get(), "Subject"));
}

TEST(MimePersist, LoadsStreamsWhateverTheyTellOfTheirSize) {
  std::string body(100000, 'x');
  std::string text = "Subject: big\r\n\r\n" + body;
  for (int variant = 0; variant < 3; ++variant) {
    SCOPED_TRACE(variant);
    auto* source = new mime_test::TextStream(text);
    if (variant == 0) source->FailStat();
    if (variant == 1) source->LimitReads(1000);
    ComPtr<IStream> stream = ComPtr<IStream>::Adopt(source);
    if (variant == 2) {
      // Loading starts where the stream stands.
      LARGE_INTEGER skip{10};
      ASSERT_EQ(S_OK, stream->Seek(skip, STREAM_SEEK_SET, nullptr));
    }
    ComPtr<IMimeMessage> message = mime_test::NewMessage();
    ComPtr<IPersistStreamInit> persist;
    ASSERT_EQ(S_OK, message.As(&persist));
    ASSERT_EQ(S_OK, persist->Load(stream.Get()));
    ULARGE_INTEGER size;
    ASSERT_EQ(S_OK, persist->GetSizeMax(&size));
    EXPECT_EQ(variant == 2 ? text.size() - 10 : text.size(), size.QuadPart);
    if (variant != 2) {
      EXPECT_EQ(body, mime_test::ReadLikeReader(message.Get()).body);
    }
  }
}

TEST(MimePersist, NewAndInitNewMessagesAreEmpty) {
  ComPtr<IMimeMessage> fresh = mime_test::NewMessage();
  ComPtr<IMimeMessage> reset = LoadMessage(DataFile("mixed-attachments.eml"));
  HBODY old = Walk(reset.Get(), "");
  ComPtr<IPersistStreamInit> persist;
  ASSERT_EQ(S_OK, reset.As(&persist));
  ASSERT_EQ(S_OK, persist->InitNew());
  for (IMimeMessage* message : {fresh.Get(), reset.Get()}) {
    mime_test::ReaderView view = mime_test::ReadLikeReader(message);
    EXPECT_EQ("text/plain", view.contentType);
    EXPECT_EQ("", view.body);
    EXPECT_TRUE(view.attachments.empty());
    EXPECT_EQ("(absent)", mime_test::RootProp(message, "Subject"));
  }
  HBODY found;
  EXPECT_EQ(MIME_E_INVALID_HANDLE, reset->GetBody(IBL_FIRST, old, &found));
  auto* out = new mime_test::TextStream("untouched");
  ComPtr<IStream> sink = ComPtr<IStream>::Adopt(out);
  ASSERT_EQ(S_OK, persist->Save(sink.Get(), TRUE));
  EXPECT_EQ("untouched", out->text());
}

// One message read from several threads at once gives every thread what one
// thread alone would get.
TEST(MimeMessage, ServesSeveralThreadsAtOnce) {
  ComPtr<IMimeMessage> message = LoadMessage(DataFile("mixed-attachments.eml"));
  mime_test::ReaderView expected = mime_test::ReadLikeReader(message.Get());
  std::string subject = mime_test::RootProp(message.Get(), "Subject");
  std::vector<std::thread> threads;
  std::vector<int> mismatches(4, 0);
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 100; ++i) {
        mime_test::ReaderView view = mime_test::ReadLikeReader(message.Get());
        if (view.body != expected.body || view.attachments != expected.attachments ||
            mime_test::RootProp(message.Get(), "Subject") != subject) {
          ++mismatches[t];
        }
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(std::vector<int>(4, 0), mismatches);
}

}  // namespace
