// One parsed message: its raw text, the GMime tree, and the table of bodies
// that body handles name. Immutable once parsed; the GMime objects it holds
// are only touched under its lock, so one ParsedMessage may serve several
// threads through several COM objects at once.
#pragma once

#include <gmime/gmime.h>

#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/mime.h"
#include "services/mime/gmime_support.h"
#include "services/mime/limits.h"

namespace vorn_mime {

enum class BodyKind {
  kText,       // a text leaf (or a multipart without parts, read as its text)
  kMultipart,  // a multipart with parts
  kMessage,    // an enclosed message; its one child is that message's body
  kOther,      // any other leaf
};

struct BodyNode {
  GMimeObject* part = nullptr;        // borrowed from the tree
  GMimeMessage* message = nullptr;    // the message this is the top body of, or null
  int parent = -1;
  int firstChild = -1;
  int lastChild = -1;
  int next = -1;
  int previous = -1;
  int depth = 1;                      // the root is level 1
  BodyKind kind = BodyKind::kText;
  bool fromPrologue = false;          // a multipart without parts, read as text
  bool insideMessage = false;         // below an enclosed message's part
  bool attachmentDisposition = false; // Content-Disposition: attachment
  bool named = false;                 // has a filename or name parameter
  std::string type;                   // effective "type/subtype", lower case
};

// The encodings GetData can give, with the shape of the result.
struct BodyData {
  std::string bytes;
  bool utf16 = false;  // bytes are UTF-16LE text, read in whole units
};

class ParsedMessage {
 public:
  // Parses `raw` (taken over; freed with the message). Any text parses: text
  // GMime cannot read as a message becomes one text body holding all of it.
  static std::shared_ptr<ParsedMessage> Parse(GByteArray* raw);

  ParsedMessage(const ParsedMessage&) = delete;
  ParsedMessage& operator=(const ParsedMessage&) = delete;
  ~ParsedMessage();

  // The raw text as loaded, for Save.
  const guint8* raw_data() const { return raw_->data; }
  size_t raw_size() const { return raw_->len; }

  int body_count() const { return static_cast<int>(nodes_.size()); }
  const BodyNode& body(int index) const { return nodes_[index]; }

  // Handles: 32-bit, never 0, naming one body of this parse only.
  HBODY HandleOf(int index) const;
  // The body index `handle` names; false for a handle of another message or
  // parse.
  bool Resolve(HBODY handle, int* index) const;

  // The body at `location` from `pivot` (ignored for IBL_ROOT).
  HRESULT FindBody(BODYLOCATION location, HBODY pivot, HBODY* body) const;

  // The bodies listed as attachments: every leaf (an enclosed message counts
  // as one) except the text bodies shown as the message, in document order.
  std::vector<HBODY> Attachments() const;

  // IsBodyType for body `index`.
  HRESULT IsBodyType(int index, IMSGBODYTYPE type);

  // The display name of body `index`: the base name of its file name
  // (filename or name parameter), UTF-8. A listed attachment without one is
  // named for what it is: an enclosed message by its subject and ".eml"
  // ("message.eml" without a subject), any other body "attachment-N" and an
  // extension for its type (".bin" for a type not known), N counting the
  // unnamed attachments in the order Attachments gives, from 1. Generated
  // names have '/', '\' and control characters as '_' and are cut to
  // kMaxDisplayNameBytes at a whole character. "" for other bodies.
  std::string DisplayName(int index);

  // The data of body `index` in `encoding`, at most kMaxDecodedBytes.
  HRESULT GetData(int index, ENCODINGTYPE encoding, BodyData* data);

  // IMimePropertySet::GetProp for body `index`; see platform/mime.h.
  HRESULT GetProp(int index, LPCSTR name, DWORD flags, LPPROPVARIANT value);

 private:
  struct ByteArrayFree {
    void operator()(GByteArray* a) const { g_byte_array_unref(a); }
  };
  using ByteArray = std::unique_ptr<GByteArray, ByteArrayFree>;

  explicit ParsedMessage(GByteArray* raw);
  void ParseLocked();
  void BuildTable(GMimeObject* root, GMimeMessage* rootMessage);
  int AddNode(GMimeObject* part, GMimeMessage* message, int parent);

  // The text leaf shown for body `index`, or -1; with `shown`, also collects
  // the text leaves shown as alternatives of it.
  int MainText(int index, std::vector<int>* shown) const;

  // Helpers that need the lock held.
  // The bytes of body `index`, transfer-decoded or as stored, at most
  // kMaxDecodedBytes: a view of GMime's own text or of the stream left in
  // `*holder`, valid while both live.
  std::string_view BodyBytes(int index, bool transferDecode, GObjectPtr<GMimeStream>* holder);
  std::string DecodedBytes(int index, bool transferDecode);
  // A text body's bytes, transfer- and charset-decoded to UTF-8.
  std::string DecodedText(int index);
  std::string Parameter(int index, const char* contentTypeParameter);
  GMimeHeader* FindHeader(int index, const char* name);
  std::string MainCharset(int index);
  bool IsAttachment(int index) const;
  std::string DeclaredName(int index);
  void GiveNames();

  std::mutex mutex_;
  // Owners, in the order they must outlive one another.
  ByteArray raw_;
  ByteArray defused_;  // the text GMime reads when it differs from raw_ (see PlanParse)
  GObjectPtr<GMimeStream> stream_;
  GObjectPtr<GMimeMessage> message_;
  GObjectPtr<GMimeObject> fallbackRoot_;
  uint32_t tag_ = 0;
  std::vector<BodyNode> nodes_;
  // Names given to the unnamed attachments, by body index; made on the first
  // DisplayName call that needs them.
  bool namesGiven_ = false;
  std::unordered_map<int, std::string> givenNames_;
};

}  // namespace vorn_mime
