// The MIME model contract: what every implementation of IMimeMessage,
// IMimeBody, IMimePropertySet and IMimeAllocator promises its callers, as a
// value-parameterised suite.
//
// Instantiate it once per implementation, in one source file of a test
// program (the file defines the tests):
//
//   #include "tests/fakes/contract/mime_contract.h"
//   using vorn_contract::MimeContract;
//   INSTANTIATE_TEST_SUITE_P(
//       Real, MimeContract,
//       testing::Values(vorn_contract::MimeContractParam{
//           "vornmime", [] { return std::make_unique<MyMimeHarness>(); }}),
//       vorn_contract::MimeParamName);
//
// The harness turns a MimeScenario into a parsed message. A harness over a
// parser loads ComposeRawMessage(scenario); a fake builds the same message
// from the scenario's parts.
//
// What is checked: the root body and navigation between bodies, binding
// bodies to IMimeBody and IMimePropertySet (a new object each time, refused
// for unknown handles and interfaces with a null out-pointer), the content
// type as lower-case "type/subtype", header fields through GetProp and
// GetBodyProp (MIME_E_NOT_FOUND when absent), the attachment list (count and
// a CoTaskMemAlloc array, null when empty; each listed body confirmed by
// IsBodyType), display names ("" for a body without one), body data through
// streams read in any chunk size (IET_UNICODE: UTF-16LE text; IET_DECODED:
// the bytes after transfer decoding), and the allocator.
#pragma once

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "platform/mime.h"
#include "platform/runtime.h"
#include "runtime/com_ptr.h"

namespace vorn_contract {

struct MimeAttachment {
  std::string fileName;  // plain ASCII
  std::string content;   // the decoded bytes
};

struct MimeScenario {
  std::string subject;
  std::string textType = "text/plain";  // as written in the message
  std::string text;                     // UTF-8, without a final line break
  std::vector<MimeAttachment> attachments;
};

// The raw text of `scenario`: a single text/... part when it has no
// attachments, else multipart/mixed with the text first, then each
// attachment as application/octet-stream, base64, with a filename.
inline std::string ComposeRawMessage(const MimeScenario& scenario) {
  static const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  auto base64 = [](const std::string& bytes) {
    std::string out;
    for (size_t i = 0; i < bytes.size(); i += 3) {
      uint32_t n = static_cast<unsigned char>(bytes[i]) << 16;
      if (i + 1 < bytes.size()) n |= static_cast<unsigned char>(bytes[i + 1]) << 8;
      if (i + 2 < bytes.size()) n |= static_cast<unsigned char>(bytes[i + 2]);
      out += alphabet[(n >> 18) & 63];
      out += alphabet[(n >> 12) & 63];
      out += i + 1 < bytes.size() ? alphabet[(n >> 6) & 63] : '=';
      out += i + 2 < bytes.size() ? alphabet[n & 63] : '=';
      if (out.size() % 78 == 76) out += "\r\n";
    }
    return out;
  };
  std::string head =
      "From: Ann <ann@example.org>\r\nTo: Bob <bob@example.org>\r\nSubject: " + scenario.subject +
      "\r\nMIME-Version: 1.0\r\n";
  std::string textPart = "Content-Type: " + scenario.textType +
                         "; charset=utf-8\r\nContent-Transfer-Encoding: 8bit\r\n\r\n" +
                         scenario.text + "\r\n";
  if (scenario.attachments.empty()) return head + textPart;
  const std::string boundary = "=-contract-boundary-7f3a";
  std::string raw = head + "Content-Type: multipart/mixed; boundary=\"" + boundary +
                    "\"\r\n\r\n--" + boundary + "\r\n" + textPart;
  for (const MimeAttachment& a : scenario.attachments) {
    raw += "--" + boundary +
           "\r\nContent-Type: application/octet-stream\r\nContent-Transfer-Encoding: "
           "base64\r\nContent-Disposition: attachment; filename=\"" +
           a.fileName + "\"\r\n\r\n" + base64(a.content) + "\r\n";
  }
  return raw + "--" + boundary + "--\r\n";
}

// The UTF-16LE bytes of ASCII or UTF-8 text (BMP only), for expectations.
inline std::string Utf16LeBytes(const std::string& utf8) {
  std::string out;
  for (size_t i = 0; i < utf8.size();) {
    auto c = static_cast<unsigned char>(utf8[i]);
    uint32_t code = c;
    size_t length = 1;
    if (c >= 0xE0 && i + 2 < utf8.size()) {
      code = ((c & 0x0F) << 12) | ((utf8[i + 1] & 0x3F) << 6) | (utf8[i + 2] & 0x3F);
      length = 3;
    } else if (c >= 0xC0 && i + 1 < utf8.size()) {
      code = ((c & 0x1F) << 6) | (utf8[i + 1] & 0x3F);
      length = 2;
    }
    out.push_back(static_cast<char>(code & 0xFF));
    out.push_back(static_cast<char>(code >> 8));
    i += length;
  }
  return out;
}

// An interface identifier no MIME object implements.
constexpr IID kNoSuchInterface = MakeGuid("{3C5D7E90-1A2B-4C3D-8E9F-A0B1C2D3E4F5}");

class MimeHarness {
 public:
  virtual ~MimeHarness() = default;
  // A parsed message of `scenario` (caller owns).
  virtual HRESULT OpenMessage(const MimeScenario& scenario, IMimeMessage** message) = 0;
  // The allocator, as CoCreateInstance(CLSID_IMimeAllocator) gives it.
  virtual HRESULT CreateAllocator(IMimeAllocator** allocator) = 0;
};

struct MimeContractParam {
  std::string name;
  std::function<std::unique_ptr<MimeHarness>()> make;
};

inline void PrintTo(const MimeContractParam& param, std::ostream* out) { *out << param.name; }
inline std::string MimeParamName(const testing::TestParamInfo<MimeContractParam>& info) {
  return info.param.name;
}

class MimeContract : public testing::TestWithParam<MimeContractParam> {
 protected:
  void SetUp() override {
    harness_ = GetParam().make();
    ASSERT_TRUE(harness_);
  }
  void TearDown() override { harness_.reset(); }

  ComPtr<IMimeMessage> Open(const MimeScenario& scenario) {
    ComPtr<IMimeMessage> message;
    EXPECT_EQ(harness_->OpenMessage(scenario, message.Put()), S_OK);
    return message;
  }

  static HBODY Root(IMimeMessage* message) {
    HBODY root = HBODY_NULL;
    EXPECT_EQ(message->GetBody(IBL_ROOT, HBODY_NULL, &root), S_OK);
    EXPECT_NE(root, HBODY_NULL);
    return root;
  }

  static std::string ContentType(IMimeMessage* message, HBODY body) {
    PROPVARIANT value;
    PropVariantInit(&value);
    value.vt = VT_LPSTR;
    HRESULT hr = message->GetBodyProp(body, PIDTOSTR(PID_HDR_CNTTYPE), 0, &value);
    EXPECT_EQ(hr, S_OK);
    if (FAILED(hr)) return "(failed)";
    EXPECT_EQ(value.vt, VT_LPSTR);
    std::string type = value.pszVal ? value.pszVal : "(null)";
    EXPECT_EQ(PropVariantClear(&value), S_OK);
    return type;
  }

  // The whole data of `body` in `encoding`, read `chunk` bytes at a time.
  static std::string Data(IMimeMessage* message, HBODY body, ENCODINGTYPE encoding, ULONG chunk) {
    ComPtr<IMimeBody> object;
    EXPECT_EQ(message->BindToObject(body, IID_IMimeBody, object.PutVoid()), S_OK);
    if (!object) return {};
    ComPtr<IStream> stream;
    EXPECT_EQ(object->GetData(encoding, stream.Put()), S_OK);
    if (!stream) return {};
    std::string data;
    std::vector<char> buffer(chunk);
    for (int guard = 0; guard < 1000000; ++guard) {
      ULONG got = 0;
      HRESULT hr = stream->Read(buffer.data(), chunk, &got);
      EXPECT_TRUE(SUCCEEDED(hr)) << std::hex << hr;
      EXPECT_LE(got, chunk);
      if (FAILED(hr) || got == 0) break;
      data.append(buffer.data(), got);
    }
    return data;
  }

  // `data` without trailing CR and LF (in one- or two-byte units).
  static std::string TrimLineEnds(std::string data, bool utf16) {
    size_t unit = utf16 ? 2 : 1;
    while (data.size() >= unit) {
      char c = data[data.size() - unit];
      bool high = !utf16 || data[data.size() - 1] == 0;
      if (!high || (c != '\r' && c != '\n')) break;
      data.resize(data.size() - unit);
    }
    return data;
  }

  static std::string DisplayName(IMimeMessage* message, HBODY body) {
    ComPtr<IMimeBody> object;
    EXPECT_EQ(message->BindToObject(body, IID_IMimeBody, object.PutVoid()), S_OK);
    if (!object) return "(unbound)";
    LPSTR name = nullptr;
    EXPECT_EQ(object->GetDisplayName(&name), S_OK);
    std::string result = name ? name : "(null)";
    CoTaskMemFree(name);
    return result;
  }

  static std::vector<HBODY> Attachments(IMimeMessage* message) {
    ULONG count = 99;
    LPHBODY bodies = nullptr;
    EXPECT_EQ(message->GetAttachments(&count, &bodies), S_OK);
    if (count == 0) {
      EXPECT_EQ(bodies, nullptr);
    }
    std::vector<HBODY> result;
    if (bodies) result.assign(bodies, bodies + count);
    CoTaskMemFree(bodies);
    return result;
  }

  static MimeScenario WithAttachments() {
    MimeScenario scenario;
    scenario.subject = "Files";
    scenario.text = "See the files.";
    scenario.attachments = {{"report.pdf", "%PDF-1.4 fake report"},
                            {"notes.txt", std::string("line one\nline\0two", 17)}};
    return scenario;
  }

  std::unique_ptr<MimeHarness> harness_;
};

TEST_P(MimeContract, SinglePartMessageHasATextRootAndNoAttachments) {
  MimeScenario scenario;
  scenario.subject = "Greetings";
  scenario.text = "Hello there";
  ComPtr<IMimeMessage> message = Open(scenario);
  ASSERT_TRUE(message);
  HBODY root = Root(message.Get());
  EXPECT_EQ(ContentType(message.Get(), root), "text/plain");
  EXPECT_EQ(message->IsBodyType(root, IBT_ATTACHMENT), S_FALSE);
  EXPECT_THAT(Attachments(message.Get()), testing::IsEmpty());
  HBODY child = 77;
  EXPECT_EQ(message->GetBody(IBL_FIRST, root, &child), MIME_E_NOT_FOUND);
  EXPECT_EQ(DisplayName(message.Get(), root), "");
  for (ULONG chunk : {1u, 3u, 4094u}) {
    SCOPED_TRACE(testing::Message() << "chunks of " << chunk);
    EXPECT_EQ(TrimLineEnds(Data(message.Get(), root, IET_UNICODE, chunk), true),
              Utf16LeBytes(scenario.text));
  }
}

TEST_P(MimeContract, ContentTypesAreLowerCase) {
  MimeScenario scenario;
  scenario.subject = "Shouting";
  scenario.textType = "TEXT/HTML";
  scenario.text = "<p>hi</p>";
  ComPtr<IMimeMessage> message = Open(scenario);
  ASSERT_TRUE(message);
  EXPECT_EQ(ContentType(message.Get(), Root(message.Get())), "text/html");
}

TEST_P(MimeContract, TextComesAsUtf16) {
  MimeScenario scenario;
  scenario.subject = "Umlauts";
  scenario.text =
      "Gr\xC3\xBC\xC3\x9F"
      "e \xE2\x82\xAC";  // "Grüße €"
  ComPtr<IMimeMessage> message = Open(scenario);
  ASSERT_TRUE(message);
  EXPECT_EQ(TrimLineEnds(Data(message.Get(), Root(message.Get()), IET_UNICODE, 5), true),
            Utf16LeBytes(scenario.text));
}

TEST_P(MimeContract, HeaderFieldsThroughThePropertySet) {
  MimeScenario scenario;
  scenario.subject = "Quarterly figures";
  scenario.text = "Numbers.";
  ComPtr<IMimeMessage> message = Open(scenario);
  ASSERT_TRUE(message);
  HBODY root = Root(message.Get());
  ComPtr<IMimePropertySet> props;
  ASSERT_EQ(message->BindToObject(root, IID_IMimePropertySet, props.PutVoid()), S_OK);
  PROPVARIANT value;
  PropVariantInit(&value);
  value.vt = VT_LPSTR;
  ASSERT_EQ(props->GetProp("Subject", 0, &value), S_OK);
  EXPECT_STREQ(value.pszVal, "Quarterly figures");
  PropVariantClear(&value);
  value.vt = VT_LPSTR;
  EXPECT_EQ(props->GetProp("X-Not-There", 0, &value), MIME_E_NOT_FOUND);
  value.vt = VT_LPSTR;
  EXPECT_EQ(message->GetBodyProp(root, "X-Not-There", 0, &value), MIME_E_NOT_FOUND);
}

TEST_P(MimeContract, AttachmentsAreListedConfirmedAndNamed) {
  MimeScenario scenario = WithAttachments();
  ComPtr<IMimeMessage> message = Open(scenario);
  ASSERT_TRUE(message);
  HBODY root = Root(message.Get());
  EXPECT_EQ(ContentType(message.Get(), root), "multipart/mixed");
  std::vector<HBODY> listed = Attachments(message.Get());
  ASSERT_EQ(listed.size(), 2u);
  std::vector<std::string> names;
  for (HBODY body : listed) {
    EXPECT_EQ(message->IsBodyType(body, IBT_ATTACHMENT), S_OK);
    std::string name = DisplayName(message.Get(), body);
    names.push_back(name);
    for (const MimeAttachment& a : scenario.attachments) {
      if (a.fileName == name) {
        EXPECT_EQ(Data(message.Get(), body, IET_DECODED, 7), a.content) << name;
      }
    }
  }
  EXPECT_THAT(names, testing::UnorderedElementsAre("report.pdf", "notes.txt"));
}

TEST_P(MimeContract, NavigationWalksTheTree) {
  MimeScenario scenario = WithAttachments();
  ComPtr<IMimeMessage> message = Open(scenario);
  ASSERT_TRUE(message);
  HBODY root = Root(message.Get());
  HBODY text = HBODY_NULL, next = HBODY_NULL, parent = HBODY_NULL, last = HBODY_NULL;
  ASSERT_EQ(message->GetBody(IBL_FIRST, root, &text), S_OK);
  EXPECT_EQ(message->IsBodyType(text, IBT_ATTACHMENT), S_FALSE);
  EXPECT_EQ(ContentType(message.Get(), text), "text/plain");
  EXPECT_EQ(TrimLineEnds(Data(message.Get(), text, IET_UNICODE, 4094), true),
            Utf16LeBytes(scenario.text));
  ASSERT_EQ(message->GetBody(IBL_NEXT, text, &next), S_OK);
  EXPECT_EQ(message->IsBodyType(next, IBT_ATTACHMENT), S_OK);
  ASSERT_EQ(message->GetBody(IBL_PARENT, next, &parent), S_OK);
  EXPECT_EQ(parent, root);
  ASSERT_EQ(message->GetBody(IBL_LAST, root, &last), S_OK);
  HBODY after = 5;
  EXPECT_EQ(message->GetBody(IBL_NEXT, last, &after), MIME_E_NOT_FOUND);
  HBODY before = HBODY_NULL;
  ASSERT_EQ(message->GetBody(IBL_PREVIOUS, next, &before), S_OK);
  EXPECT_EQ(before, text);
}

TEST_P(MimeContract, BindingRefusesUnknownHandlesAndInterfaces) {
  MimeScenario scenario;
  scenario.subject = "Bind";
  scenario.text = "x";
  ComPtr<IMimeMessage> message = Open(scenario);
  ASSERT_TRUE(message);
  HBODY root = Root(message.Get());
  HBODY unknown = root ^ 0x5A5A0000u;
  void* object = reinterpret_cast<void*>(1);
  EXPECT_LT(message->BindToObject(unknown, IID_IMimeBody, &object), 0);
  EXPECT_EQ(object, nullptr);
  object = reinterpret_cast<void*>(1);
  EXPECT_LT(message->BindToObject(root, kNoSuchInterface, &object), 0);
  EXPECT_EQ(object, nullptr);
  EXPECT_LT(message->IsBodyType(unknown, IBT_ATTACHMENT), 0);
  PROPVARIANT value;
  PropVariantInit(&value);
  value.vt = VT_LPSTR;
  EXPECT_LT(message->GetBodyProp(unknown, PIDTOSTR(PID_HDR_CNTTYPE), 0, &value), 0);

  // Two binds give two objects.
  ComPtr<IMimeBody> first, second;
  ASSERT_EQ(message->BindToObject(root, IID_IMimeBody, first.PutVoid()), S_OK);
  ASSERT_EQ(message->BindToObject(root, IID_IMimeBody, second.PutVoid()), S_OK);
  EXPECT_NE(first.Get(), second.Get());
}

TEST_P(MimeContract, AllocatorHandsOutTaskMemory) {
  ComPtr<IMimeAllocator> allocator;
  ASSERT_EQ(harness_->CreateAllocator(allocator.Put()), S_OK);
  ASSERT_TRUE(allocator);
  void* block = allocator->Alloc(64);
  ASSERT_NE(block, nullptr);
  std::fill_n(static_cast<char*>(block), 64, 'x');
  allocator->Free(block);
}

}  // namespace vorn_contract
