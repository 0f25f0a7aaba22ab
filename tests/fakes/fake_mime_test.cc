// The fake MIME model answers exactly what its description says: the odd
// answers (null strings, null arrays with a count, S_FALSE, failures) are the
// ones the reader's failure paths are tested with.

#include "tests/fakes/fake_mime.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "platform/runtime.h"

namespace vorn_fakes {
namespace {

using testing::ElementsAre;
using testing::IsEmpty;

class FakeMimeTest : public testing::Test {
 protected:
  ComPtr<IMimeMessage> Open(std::shared_ptr<FakeMimeMessage> message) {
    ComPtr<IMimeMessage> object;
    EXPECT_EQ(mime_.OpenMessage(std::move(message), IID_IMimeMessage, object.PutVoid()), S_OK);
    return object;
  }

  FakeEnv env_;
  FakeMimeModel mime_{env_};
};

TEST_F(FakeMimeTest, ContentTypeAnswersAsDescribed) {
  auto message = mime_.AddMessage();
  FakeBody& root = message->AddBody();
  root.contentType = "TEXT/Plain";
  HBODY upper = root.handle;
  HBODY none = message->AddBody(upper).handle;
  message->Body(none)->contentType = std::nullopt;
  HBODY failing = message->AddBody(upper).handle;
  message->Body(failing)->contentTypeStatus = MIME_E_NOT_FOUND;
  ComPtr<IMimeMessage> object = Open(message);

  PROPVARIANT value;
  PropVariantInit(&value);
  value.vt = VT_LPSTR;
  ASSERT_EQ(object->GetBodyProp(upper, PIDTOSTR(PID_HDR_CNTTYPE), 0, &value), S_OK);
  EXPECT_STREQ(value.pszVal, "TEXT/Plain");  // not lower-cased by the fake
  PropVariantClear(&value);
  const Call& call = env_.log.Last("GetBodyProp");
  EXPECT_EQ(call.Str("name"), "pid:18");
  EXPECT_EQ(call.Num("vt"), VT_LPSTR);
  EXPECT_EQ(call.Num("flags"), 0u);
  EXPECT_EQ(call.Num("body"), upper);

  value.vt = VT_LPSTR;
  ASSERT_EQ(object->GetBodyProp(none, PIDTOSTR(PID_HDR_CNTTYPE), 0, &value), S_OK);
  EXPECT_EQ(value.vt, VT_LPSTR);
  EXPECT_EQ(value.pszVal, nullptr);

  // A failure leaves the value as passed.
  char marker[] = "untouched";
  value.vt = VT_LPSTR;
  value.pszVal = marker;
  EXPECT_EQ(object->GetBodyProp(failing, PIDTOSTR(PID_HDR_CNTTYPE), 0, &value), MIME_E_NOT_FOUND);
  EXPECT_EQ(value.pszVal, marker);
  EXPECT_EQ(object->GetBodyProp(0x999, PIDTOSTR(PID_HDR_CNTTYPE), 0, &value),
            MIME_E_INVALID_HANDLE);
}

TEST_F(FakeMimeTest, AttachmentListsAsDescribed) {
  struct Case {
    const char* name;
    std::function<void(FakeMimeMessage&)> describe;
    HRESULT status;
    ULONG count;
    bool nullArray;
  };
  const Case cases[] = {
      {"confirmed bodies", [](FakeMimeMessage&) {}, S_OK, 2, false},
      {"explicit list", [](FakeMimeMessage& m) { m.attachments = std::vector<HBODY>{m.root}; },
       S_OK, 1, false},
      {"null array with a count", [](FakeMimeMessage& m) { m.nullAttachmentArray = true; }, S_OK, 2,
       true},
      {"count beyond the list", [](FakeMimeMessage& m) { m.attachmentCount = 3; }, S_OK, 3, false},
      {"failure", [](FakeMimeMessage& m) { m.attachmentsStatus = E_OUTOFMEMORY; }, E_OUTOFMEMORY, 0,
       true},
      {"none", [](FakeMimeMessage& m) { m.attachments = std::vector<HBODY>{}; }, S_OK, 0, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto message = MakeTextMessage(u"body", {"a.txt", "b.txt"});
    c.describe(*message);
    ComPtr<IMimeMessage> object = Open(message);
    ULONG count = 77;
    LPHBODY bodies = reinterpret_cast<LPHBODY>(&count);
    EXPECT_EQ(object->GetAttachments(&count, &bodies), c.status);
    EXPECT_EQ(count, c.count);
    EXPECT_EQ(bodies == nullptr, c.nullArray);
    if (bodies && c.count == 3) {
      EXPECT_EQ(bodies[2], HBODY_NULL);
    }
    CoTaskMemFree(bodies);
  }
}

TEST_F(FakeMimeTest, BodiesAnswerTheirOwnKnobs) {
  auto message = MakeTextMessage(u"hi", {"a.txt", "b.txt", "c.txt"});
  const HBODY a = message->bodies[1].handle, b = message->bodies[2].handle,
              c = message->bodies[3].handle;
  message->Body(a)->isAttachment = S_FALSE;
  message->Body(b)->displayName = std::nullopt;
  message->Body(c)->displayNameStatus = E_FAIL;
  message->Body(c)->bindPropertySetStatus = E_NOINTERFACE;
  ComPtr<IMimeMessage> object = Open(message);

  EXPECT_EQ(object->IsBodyType(message->root, IBT_ATTACHMENT), S_FALSE);
  EXPECT_EQ(object->IsBodyType(a, IBT_ATTACHMENT), S_FALSE);
  EXPECT_EQ(object->IsBodyType(b, IBT_ATTACHMENT), S_OK);
  EXPECT_EQ(object->IsBodyType(HBODY_NULL, IBT_ATTACHMENT), MIME_E_INVALID_HANDLE);

  ComPtr<IMimeBody> body;
  ASSERT_EQ(object->BindToObject(b, IID_IMimeBody, body.PutVoid()), S_OK);
  LPSTR name = reinterpret_cast<LPSTR>(1);
  EXPECT_EQ(body->GetDisplayName(&name), S_OK);
  EXPECT_EQ(name, nullptr);
  ASSERT_EQ(object->BindToObject(c, IID_IMimeBody, body.PutVoid()), S_OK);
  EXPECT_EQ(body->GetDisplayName(&name), E_FAIL);
  EXPECT_EQ(name, nullptr);
  ComPtr<IMimePropertySet> props;
  EXPECT_EQ(object->BindToObject(c, IID_IMimePropertySet, props.PutVoid()), E_NOINTERFACE);
  EXPECT_FALSE(props);

  // Navigation over the tree.
  HBODY found = 0;
  EXPECT_EQ(object->GetBody(IBL_FIRST, message->root, &found), S_OK);
  EXPECT_EQ(found, a);
  EXPECT_EQ(object->GetBody(IBL_NEXT, a, &found), S_OK);
  EXPECT_EQ(found, b);
  EXPECT_EQ(object->GetBody(IBL_LAST, message->root, &found), S_OK);
  EXPECT_EQ(found, c);
  EXPECT_EQ(object->GetBody(IBL_NEXT, c, &found), MIME_E_NOT_FOUND);
  EXPECT_EQ(object->GetBody(IBL_PARENT, message->root, &found), MIME_E_NOT_FOUND);
  message->rootStatus = E_FAIL;
  EXPECT_EQ(object->GetBody(IBL_ROOT, HBODY_NULL, &found), E_FAIL);
  EXPECT_EQ(found, HBODY_NULL);
}

TEST_F(FakeMimeTest, DataStreamsRestartTheirScriptAndAreCounted) {
  auto message = MakeTextMessage(u"abc", {});
  FakeBody& root = message->bodies[0];
  root.reads = {{3, S_OK}, {0, S_FALSE}};
  ComPtr<IMimeMessage> object = Open(message);
  ComPtr<IMimeBody> body;
  ASSERT_EQ(object->BindToObject(message->root, IID_IMimeBody, body.PutVoid()), S_OK);
  for (int round = 0; round < 2; ++round) {
    ComPtr<IStream> stream;
    ASSERT_EQ(body->GetData(IET_UNICODE, stream.Put()), S_OK);
    char buffer[16];
    ULONG got = 0;
    EXPECT_EQ(stream->Read(buffer, 4094, &got), S_OK);
    EXPECT_EQ(std::string(buffer, got), std::string("a\0b", 3));  // an odd cut of UTF-16
    EXPECT_EQ(stream->Read(buffer, 4094, &got), S_FALSE);
    EXPECT_EQ(got, 0u);
    EXPECT_EQ(stream->Read(buffer, 4094, &got), S_OK);
    EXPECT_EQ(got, 3u);
  }
  EXPECT_EQ(env_.log.Last("GetData").Num("encoding"), IET_UNICODE);
  root.dataStatus = MIME_E_NO_DATA;
  ComPtr<IStream> none;
  EXPECT_EQ(body->GetData(IET_UNICODE, none.Put()), MIME_E_NO_DATA);
  EXPECT_FALSE(none);

  body = nullptr;
  object = nullptr;
  EXPECT_THAT(env_.log.LiveObjects(), IsEmpty());
  EXPECT_EQ(env_.log.Objects("DataStream").size(), 2u);
  EXPECT_THAT(env_.log.Errors(), IsEmpty());
}

TEST_F(FakeMimeTest, AllocatorCountsItsBlocks) {
  ComPtr<IMimeAllocator> allocator;
  ASSERT_EQ(mime_.CreateAllocator(IID_IMimeAllocator, allocator.PutVoid()), S_OK);
  void* block = allocator->Alloc(16);
  ASSERT_NE(block, nullptr);
  EXPECT_EQ(mime_.AllocatorOutstanding(), 1);
  env_.faults.FailCall("Alloc", 1);
  EXPECT_EQ(allocator->Alloc(16), nullptr);
  allocator->Free(block);
  EXPECT_EQ(mime_.AllocatorOutstanding(), 0);
  EXPECT_THAT(env_.log.Methods(), ElementsAre("QueryInterface", "Alloc", "Alloc", "Free"));
}

}  // namespace
}  // namespace vorn_fakes
