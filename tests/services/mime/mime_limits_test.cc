// Hostile messages: each is parsed within the library's limits, and what lies
// beyond them is simply not there.

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "platform/runtime.h"
#include "services/mime/limits.h"
#include "tests/services/mime/mime_model.h"
#include "tests/services/mime/mime_test_support.h"

namespace {

using mime_test::LoadMessage;

std::string Repeat(const std::string& piece, int count) {
  std::string text;
  text.reserve(piece.size() * count);
  for (int i = 0; i < count; ++i) text += piece;
  return text;
}

// Levels below the root reached by always stepping to the first child.
int Depth(IMimeMessage* message) {
  HBODY body;
  message->GetBody(IBL_ROOT, HBODY_NULL, &body);
  int levels = 1;
  while (SUCCEEDED(message->GetBody(IBL_FIRST, body, &body))) ++levels;
  return levels;
}

int Children(IMimeMessage* message) {
  HBODY body;
  message->GetBody(IBL_ROOT, HBODY_NULL, &body);
  if (FAILED(message->GetBody(IBL_FIRST, body, &body))) return 0;
  int count = 1;
  while (SUCCEEDED(message->GetBody(IBL_NEXT, body, &body))) ++count;
  return count;
}

TEST(MimeLimits, StopsNestingAtTheDeepestLevel) {
  std::string multiparts;
  for (int i = 0; i < 20000; ++i) {
    multiparts += "Content-Type: multipart/mixed; boundary=\"b" + std::to_string(i) +
                  "\"\r\n\r\n--b" + std::to_string(i) + "\r\n";
  }
  std::string messages = Repeat("Content-Type: message/rfc822\r\n\r\nSubject: s\r\n", 3000);
  std::string digests = Repeat("Content-Type: multipart/digest; boundary=d\r\n\r\n--d\r\n\r\n", 500);
  for (const std::string* text : {&multiparts, &messages, &digests}) {
    ComPtr<IMimeMessage> message = LoadMessage(*text + "\r\ndeepest\r\n");
    ASSERT_TRUE(message);
    EXPECT_EQ(vorn_mime::kMaxDepth, Depth(message.Get()));
    mime_test::ReaderView view = mime_test::ReadLikeReader(message.Get());
    EXPECT_EQ(std::string::npos, view.body.find("deepest"));
  }
}

TEST(MimeLimits, StopsAtTheLastBodyAllowed) {
  std::string head = "Content-Type: multipart/mixed; boundary=b\r\n\r\n";
  std::string bare = head + Repeat("--b\r\n\r\n", 30000);
  std::string typed = head + Repeat("--b\r\nContent-Type: application/x-a\r\n\r\nx\r\n", 30000);
  std::string empties = head + Repeat("--b\r\nContent-Type: multipart/mixed\r\n\r\n", 30000);
  std::string digest = "Content-Type: multipart/digest; boundary=b\r\n\r\n" +
                       Repeat("--b\r\n\r\nSubject: s\r\n\r\nx\r\n", 30000);
  struct Case {
    const char* what;
    const std::string* text;
    int children;
  } cases[] = {
      {"bare", &bare, vorn_mime::kMaxParts - 1},
      {"typed", &typed, vorn_mime::kMaxParts - 1},
      {"empty multiparts", &empties, vorn_mime::kMaxParts - 1},
      // Each digest part holds a message: two bodies a part.
      {"digest", &digest, vorn_mime::kMaxParts / 2},
  };
  for (const Case& c : cases) {
    ComPtr<IMimeMessage> message = LoadMessage(*c.text);
    ASSERT_TRUE(message) << c.what;
    EXPECT_EQ(c.children, Children(message.Get())) << c.what;
    ULONG count = 0;
    HBODY* bodies = nullptr;
    ASSERT_EQ(S_OK, message->GetAttachments(&count, &bodies)) << c.what;
    EXPECT_LE(count, static_cast<ULONG>(vorn_mime::kMaxParts)) << c.what;
    CoTaskMemFree(bodies);
  }
}

TEST(MimeLimits, ReadsRunawayAddressFields) {
  std::string colons = Repeat("a:", 100000);
  std::string groups = Repeat("g:", 200) + " x@example.com" + Repeat(";", 200);
  std::string deeper = Repeat("g:", 300) + " x@example.com" + Repeat(";", 300);
  std::string inner = "Content-Type: multipart/mixed; boundary=b\r\n\r\n--b\r\n"
                      "Content-Type: message/rfc822\r\n\r\nFrom: " + colons +
                      "\r\nSubject: inner\r\n\r\ntext\r\n--b--\r\n";
  for (const std::string& text :
       {"From: " + colons + "\r\nTo: " + deeper + "\r\nSubject: s\r\n\r\nbody", inner}) {
    ComPtr<IMimeMessage> message = LoadMessage(text);
    ASSERT_TRUE(message);
    mime_test::ReadLikeReader(message.Get());
    EXPECT_NE("(failed)", mime_test::RootProp(message.Get(), "From", PDF_DISPLAYNAMES));
    EXPECT_NE("(failed)", mime_test::RootProp(message.Get(), "To", PDF_ADDRESSES));
  }
  // Groups nested below the limit are still read.
  ComPtr<IMimeMessage> message =
      LoadMessage("To: " + groups + "\r\nSubject: s\r\n\r\nbody");
  EXPECT_EQ("x@example.com", mime_test::RootProp(message.Get(), "To", PDF_ADDRESSES));
}

TEST(MimeLimits, ReadsHugeAndBrokenContent) {
  std::string longLine(2 << 20, 'x');
  std::string encodedWords = Repeat("=?utf-8?q?a?= ", 50000);
  struct Case {
    std::string text;
    const char* body;
  } cases[] = {
      {"Subject: " + longLine + "\r\n\r\nbody", "body"},
      {"Subject: " + encodedWords + "\r\n\r\nbody", "body"},
      // Base64 ends at its padding; junk characters are skipped.
      {"Content-Transfer-Encoding: base64\r\n\r\n!!!!QUJD\r\nRE%%VG\r\n====\r\nR0g=\r\n",
       "ABCDEF"},
      {"Content-Transfer-Encoding: quoted-printable\r\n\r\n=4=1=\r\n=ZZ=41\r\n",
       "=4=1=ZZA\r\n"},
      {"Content-Type: text/plain; charset=\"\xFF\xFE\"\r\n\r\ncaf\xE9", "caf\xC3\xA9"},
      {"Content-Type: text/plain; charset=utf-8\r\nContent-Transfer-Encoding: x-bogus\r\n\r\nok",
       "ok"},
      {"Content-Type: multipart/mixed; boundary=b\r\n\r\n--b\r\n--b\r\n--b\r\n\r\n", ""},
  };
  for (const Case& c : cases) {
    ComPtr<IMimeMessage> message = LoadMessage(c.text);
    ASSERT_TRUE(message);
    EXPECT_EQ(c.body, mime_test::ReadLikeReader(message.Get()).body) << c.text.substr(0, 40);
  }
  // A field is kept up to its limit.
  ComPtr<IMimeMessage> message = LoadMessage("Subject: " + longLine + "\r\n\r\nbody");
  EXPECT_EQ(longLine.substr(0, vorn_mime::kMaxHeaderFieldBytes - std::string("Subject: ").size()),
            mime_test::RootProp(message.Get(), "Subject"));
}

TEST(MimeLimits, KeepsHeaderFieldsWithinTheirBudget) {
  const std::string flood = Repeat("X-A: b\r\n", static_cast<int>(vorn_mime::kMaxHeaderFields));
  const std::string longBody(100000, 'w');
  struct Case {
    const char* what;
    std::string text;
    const char* subject;
    std::string body;
  } cases[] = {
      // Fields beyond the budget are not there; the body is.
      {"flood", flood + "Subject: late\r\n\r\nbody", "(absent)", "body"},
      {"flood in a part",
       "Subject: top\r\nContent-Type: multipart/mixed; boundary=b\r\n\r\n--b\r\n" + flood +
           "Content-Type: application/x-late\r\n\r\n" + longBody + "\r\n--b--\r\n",
       "top", longBody},
      {"long part field",
       "Subject: top\r\nContent-Type: multipart/mixed; boundary=b\r\n\r\n--b\r\nX-Long: " +
           std::string(1 << 20, 'z') + "\r\n\r\n" + longBody + "\r\n--b--\r\n",
       "top", longBody},
      {"colons and length", "From: " + Repeat("a:", 1000000) + "\r\nSubject: s\r\n\r\nbody", "s",
       "body"},
  };
  for (const Case& c : cases) {
    ComPtr<IMimeMessage> message = LoadMessage(c.text);
    ASSERT_TRUE(message) << c.what;
    EXPECT_EQ(c.subject, mime_test::RootProp(message.Get(), "Subject")) << c.what;
    EXPECT_TRUE(c.body == mime_test::ReadLikeReader(message.Get()).body) << c.what;
  }
}

// Unknown, malformed and option-carrying charset names in encoded words,
// RFC 2231 names, name parameters and text bodies: each falls back to
// reading the bytes as UTF-8 or Windows-1252.
TEST(MimeLimits, ReadsBogusCharsets) {
  std::string text =
      "Subject: =?x-bogus?q?caf=E9?= =?\xff\xfe?b?AAAA?=\r\n"
      "From: =?x-bogus?q?Jos=E9?= <j@example.com>\r\n"
      "Content-Type: multipart/mixed; boundary=b\r\n\r\n"
      "--b\r\nContent-Type: text/plain; charset=\"x-unknown//TRANSLIT\"\r\n\r\ncaf\xe9\r\n"
      "--b\r\nContent-Type: application/octet-stream\r\n"
      "Content-Disposition: attachment; filename*=x-bogus''caf%E9.txt\r\n\r\nx\r\n"
      "--b\r\nContent-Type: text/plain; charset=utf-16; name=\"=?x-bogus?b?Y2Fm6Q==?=\"\r\n\r\n"
      "ab\r\n--b--\r\n";
  ComPtr<IMimeMessage> message = LoadMessage(text);
  ASSERT_TRUE(message);
  mime_test::ReaderView view = mime_test::ReadLikeReader(message.Get());
  EXPECT_EQ("caf\xC3\xA9", view.body);
  EXPECT_EQ((std::vector<std::string>{"caf\xC3\xA9.txt", "caf\xC3\xA9"}), view.attachments);
  EXPECT_EQ("caf\xC3\xA9", mime_test::RootProp(message.Get(), "Subject"));
  EXPECT_EQ("Jos\xC3\xA9", mime_test::RootProp(message.Get(), "From", PDF_DISPLAYNAMES));
}

TEST(MimeLimits, ParsesOnSeveralThreadsAtOnce) {
  std::vector<std::string> names = mime_test::DataFiles(".eml");
  std::vector<std::string> expected;
  for (const std::string& name : names) {
    expected.push_back(
        mime_test::ReadLikeReader(LoadMessage(mime_test::DataFile(name)).Get()).body);
  }
  std::vector<int> mismatches(4, 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int round = 0; round < 20; ++round) {
        for (size_t i = 0; i < names.size(); ++i) {
          ComPtr<IMimeMessage> message = LoadMessage(mime_test::DataFile(names[i]));
          if (mime_test::ReadLikeReader(message.Get()).body != expected[i]) ++mismatches[t];
        }
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(std::vector<int>(4, 0), mismatches);
}

}  // namespace
