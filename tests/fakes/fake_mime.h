// Fake MIME object model: parsed messages a test describes body by body, the
// IMimeMessage, IMimeBody and IMimePropertySet objects over them, body data
// streams, and the IMimeAllocator with its class factory.
//
//   vorn_fakes::FakeEnv env;
//   vorn_fakes::FakeMimeModel mime(env);
//   auto message = mime.AddMessage();
//   vorn_fakes::FakeBody& root = message->AddBody();     // the root
//   root.SetText(u"Hello");                              // UTF-16LE data
//   vorn_fakes::FakeBody& file = message->AddBody(root.handle);
//   file.contentType = "application/pdf";
//   file.isAttachment = S_OK;
//   file.displayName = "report.pdf";
//   store.Message(id)->mime = message;   // FakeStore::OpenMessage hands it out
//
// Every IMimeMessage handed out is a new object ("MimeMessage#n" in the
// log) reading the shared description, so a test may change the description
// while the code under test holds the message. Each BindToObject hands out a
// new "MimeBody" or "MimePropertySet", each GetData a new "DataStream"
// (a ScriptedStream whose script restarts with every GetData).
//
// Logged and faultable: GetBody (location, pivot), BindToObject (body, riid),
// GetBodyProp (body, name as "pid:<n>" or the string, flags, vt on entry),
// GetAttachments, IsBodyType (body, type), GetDisplayName, GetData
// (encoding), GetProp (name, flags, vt), Read, Alloc. Free is logged only.
// A handle the message does not hold gets MIME_E_INVALID_HANDLE.
#pragma once

#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/mime.h"
#include "runtime/com_ptr.h"
#include "tests/fakes/class_factory.h"
#include "tests/fakes/fake_env.h"
#include "tests/fakes/scripted_stream.h"

namespace vorn_fakes {

// One body (part) of a fake message.
struct FakeBody {
  HBODY handle = HBODY_NULL;  // given by FakeMimeMessage::AddBody
  HBODY parent = HBODY_NULL;  // HBODY_NULL for the root

  // GetBodyProp(PID_HDR_CNTTYPE) with VT_LPSTR answers this text exactly as
  // given (no lower-casing); nullopt answers S_OK with a null string.
  std::optional<std::string> contentType = std::string("text/plain");
  // A negative status makes that GetBodyProp fail (value left as passed).
  HRESULT contentTypeStatus = S_OK;
  // Further header fields for GetBodyProp and IMimePropertySet::GetProp with
  // VT_LPSTR, by name (compared case-insensitively). Absent: MIME_E_NOT_FOUND.
  std::map<std::string, std::string> headers;

  // IsBodyType(IBT_ATTACHMENT) answers this (S_OK, S_FALSE or a failure).
  // IsBodyType(IBT_EMPTY) answers S_OK when `data` is empty, else S_FALSE.
  HRESULT isAttachment = S_FALSE;

  // GetDisplayName: a negative status fails (the name null); otherwise a
  // CoTaskMemAlloc copy of `displayName`, or null for nullopt.
  std::optional<std::string> displayName = std::string();
  HRESULT displayNameStatus = S_OK;

  // GetData (any encoding; the encoding is logged): a negative `dataStatus`
  // fails with a null stream; otherwise a new stream over `data` whose reads
  // follow `reads` (see ScriptedStream).
  HRESULT dataStatus = S_OK;
  std::string data;
  std::vector<ReadStep> reads;

  // BindToObject to IID_IMimeBody / IID_IMimePropertySet fails with these
  // when negative.
  HRESULT bindBodyStatus = S_OK;
  HRESULT bindPropertySetStatus = S_OK;

  // Sets `data` to `text` as UTF-16LE (what IET_UNICODE delivers for text).
  FakeBody& SetText(std::u16string_view text);
};

// A parsed message: a tree of bodies.
struct FakeMimeMessage {
  // The bodies; a body's children are the bodies naming it as parent, in
  // this order. (A deque, so references to bodies stay valid while more are
  // added.)
  std::deque<FakeBody> bodies;
  // GetBody(IBL_ROOT): this handle, or MIME_E_NOT_FOUND when HBODY_NULL;
  // a negative `rootStatus` fails it instead.
  HBODY root = HBODY_NULL;
  HRESULT rootStatus = S_OK;

  // GetAttachments: a negative status fails (count 0, array null).
  // Otherwise the handles of `attachments`, or when that is unset the bodies
  // whose isAttachment is S_OK, in body order. The count reported is
  // `attachmentCount` when set (the array then holds that many entries, cut
  // or padded with HBODY_NULL), else the list's size. The array is
  // CoTaskMemAlloc'ed, and null when the count is 0 or `nullAttachmentArray`
  // is set (a null array with a non-zero count).
  HRESULT attachmentsStatus = S_OK;
  std::optional<std::vector<HBODY>> attachments;
  std::optional<ULONG> attachmentCount;
  bool nullAttachmentArray = false;

  // Adds a body below `parent` (HBODY_NULL: a top-level body; the first one
  // becomes the root) and returns it. Handles are distinct, non-zero and not
  // small integers.
  FakeBody& AddBody(HBODY parent = HBODY_NULL);
  FakeBody* Body(HBODY handle);
  const FakeBody* Body(HBODY handle) const;
};

// A message with a text root body (content type `contentType`, data the
// UTF-16LE of `text`) and one attachment child per name, each confirmed by
// IsBodyType and named by GetDisplayName.
std::shared_ptr<FakeMimeMessage> MakeTextMessage(std::u16string_view text,
                                                 const std::vector<std::string>& attachmentNames,
                                                 std::string contentType = "text/plain");

// A single-part description of a raw message, as the fake store makes for
// messages committed through CreateStream/CommitStream: one root body whose
// content type is the Content-Type field's "type/subtype" in lower case
// (text/plain without one), whose data is the text after the header as
// UTF-16LE (the text read as UTF-8), and whose header fields are the
// message's. No multipart parsing.
std::shared_ptr<FakeMimeMessage> MakeMessageFromRaw(std::string_view raw);

// UTF-8 to UTF-16; invalid sequences become U+FFFD.
std::u16string Utf16FromUtf8(std::string_view text);

class FakeMimeModel {
 public:
  explicit FakeMimeModel(FakeEnv& env) : env_(env) {}
  FakeMimeModel(const FakeMimeModel&) = delete;
  FakeMimeModel& operator=(const FakeMimeModel&) = delete;

  // A new empty message description.
  std::shared_ptr<FakeMimeMessage> AddMessage() { return std::make_shared<FakeMimeMessage>(); }

  // A new IMimeMessage object over `message` in *ppv for `riid` (caller owns),
  // passed through wrapMessage when that is set.
  HRESULT OpenMessage(std::shared_ptr<FakeMimeMessage> message, REFIID riid, void** ppv);

  // The allocator: a new "MimeAllocator" object for `riid`.
  HRESULT CreateAllocator(REFIID riid, void** ppv);
  // Registers an allocator class factory under CLSID_IMimeAllocator.
  ClassRegistration RegisterAllocator();
  // Bytes blocks from IMimeAllocator::Alloc not yet given to Free.
  int AllocatorOutstanding() const { return allocatorOutstanding_; }

  // Optional wrappers applied to each object before it is handed out, so a
  // test can put a forwarding wrapper around it (see forwarding.h).
  std::function<ComPtr<IMimeMessage>(ComPtr<IMimeMessage>)> wrapMessage;
  std::function<ComPtr<IMimeBody>(ComPtr<IMimeBody>)> wrapBody;
  std::function<ComPtr<IMimePropertySet>(ComPtr<IMimePropertySet>)> wrapPropertySet;
  std::function<ComPtr<IStream>(ComPtr<IStream>)> wrapDataStream;

  FakeEnv& env() const { return env_; }

  // For the fake objects.
  void NoteAlloc() { ++allocatorOutstanding_; }
  void NoteFree() { --allocatorOutstanding_; }

 private:
  FakeEnv& env_;
  int allocatorOutstanding_ = 0;
};

}  // namespace vorn_fakes
