#include "services/mime/parsed_message.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <string_view>

#include "platform/runtime.h"
#include "runtime/text.h"
#include "services/mime/header_text.h"
#include "services/mime/status.h"
#include "services/mime/structure_guard.h"
#include "services/mime/text_codec.h"

namespace vorn_mime {
namespace {

// A handle is the parse's tag above the body's index.
constexpr int kIndexBits = 14;
constexpr uint32_t kIndexMask = (1u << kIndexBits) - 1;
constexpr uint32_t kTagCount = 1u << (32 - kIndexBits);
static_assert(kMaxParts <= (1 << kIndexBits), "body indexes must fit a handle");

// Every parse in the process gets the next tag, so a handle outlives neither
// its message nor a reload of it (until the tags wrap around).
std::atomic<uint32_t> g_lastTag{0};

uint32_t NewTag() {
  for (;;) {
    uint32_t tag = (g_lastTag.fetch_add(1, std::memory_order_relaxed) + 1) % kTagCount;
    if (tag != 0) return tag;
  }
}

// GMime's budget: the Content-Type fields and body contents it meets, about
// two per body, with room for the data it has buffered when it is stopped.
constexpr int kParserEventBudget = 2 * kMaxParts + 64;

constexpr std::string_view kAddressFields[] = {
    "From",      "Sender",        "Reply-To",        "To",        "Cc",        "Bcc",
    "Resent-From", "Resent-Sender", "Resent-Reply-To", "Resent-To", "Resent-Cc", "Resent-Bcc",
};

bool NonEmpty(const char* s) { return s && *s; }

bool IsAddressField(const char* name) {
  for (std::string_view field : kAddressFields) {
    if (field.size() == std::strlen(name) &&
        g_ascii_strncasecmp(field.data(), name, field.size()) == 0) {
      return true;
    }
  }
  return false;
}

HRESULT SetString(LPPROPVARIANT value, std::string_view text) {
  text = CutAtCharacter(text, kMaxDecodedBytes);
  auto* copy = static_cast<char*>(CoTaskMemAlloc(text.size() + 1));
  if (!copy) return StatusOf(Failure::kOutOfMemory);
  std::memcpy(copy, text.data(), text.size());
  copy[text.size()] = '\0';
  value->vt = VT_LPSTR;
  value->pszVal = copy;
  return S_OK;
}

void CollectMailboxes(InternetAddressList* list, DWORD flags, int depth,
                      std::vector<std::string>* out) {
  int count = internet_address_list_length(list);
  for (int i = 0; i < count; ++i) {
    InternetAddress* address = internet_address_list_get_address(list, i);
    if (INTERNET_ADDRESS_IS_GROUP(address)) {
      // Groups nest once per colon, and fields with more colons than this
      // were read without them.
      if (depth < static_cast<int>(kMaxAddressColons)) {
        CollectMailboxes(internet_address_group_get_members(INTERNET_ADDRESS_GROUP(address)),
                         flags, depth + 1, out);
      }
      continue;
    }
    if (!INTERNET_ADDRESS_IS_MAILBOX(address)) continue;
    const char* addr = internet_address_mailbox_get_addr(INTERNET_ADDRESS_MAILBOX(address));
    const char* name = internet_address_get_name(address);
    const char* pick = (flags & PDF_DISPLAYNAMES) && NonEmpty(name) ? name : addr;
    if (NonEmpty(pick)) out->push_back(TextToUtf8(pick));
  }
}

// The mailboxes of an address field's raw value, joined with "; ".
std::string JoinMailboxes(const char* raw, DWORD flags, GMimeParserOptions* options) {
  std::string text = MergeEncodedWords(raw ? raw : "");
  if (static_cast<size_t>(std::count(text.begin(), text.end(), ':')) > kMaxAddressColons) {
    std::replace(text.begin(), text.end(), ':', ' ');
  }
  std::vector<std::string> names;
  if (InternetAddressList* list = internet_address_list_parse(options, text.c_str())) {
    CollectMailboxes(list, flags, 0, &names);
    g_object_unref(list);
  }
  std::string joined;
  for (const std::string& name : names) {
    if (!joined.empty()) joined += "; ";
    joined += name;
  }
  return joined;
}

// An unstructured field's text: unfolded, its encoded words decoded, UTF-8.
std::string FieldText(GMimeHeader* header) {
  const char* raw = g_mime_header_get_raw_value(header);
  if (!raw) {
    const char* value = g_mime_header_get_value(header);
    return TextToUtf8(value ? value : "");
  }
  char* unfolded = g_mime_utils_header_unfold(raw);
  std::string merged = MergeEncodedWords(unfolded ? unfolded : "");
  g_free(unfolded);
  char* decoded = g_mime_utils_header_decode_text(EnsureGMime(), merged.c_str());
  std::string text = TextToUtf8(decoded ? decoded : "");
  g_free(decoded);
  return text;
}

// Parameter `name` of the part's Content-Disposition field (or with
// `contentType`, its Content-Type field), decoded; "" when absent.
std::string FieldParameter(GMimeObject* part, bool contentType, const char* name) {
  const char* field = contentType ? "Content-Type" : "Content-Disposition";
  GMimeHeader* header = g_mime_header_list_get_header(g_mime_object_get_header_list(part), field);
  const char* raw = header ? g_mime_header_get_raw_value(header) : nullptr;
  if (!raw) {
    const char* value = contentType ? g_mime_object_get_content_type_parameter(part, name)
                                    : g_mime_object_get_content_disposition_parameter(part, name);
    return value ? std::string(value) : std::string();
  }
  std::string merged = MergeEncodedWords(raw);
  std::string value;
  if (contentType) {
    GObjectPtr<GMimeContentType> type(g_mime_content_type_parse(EnsureGMime(), merged.c_str()));
    const char* found = type ? g_mime_content_type_get_parameter(type.get(), name) : nullptr;
    if (found) value = found;
  } else {
    GObjectPtr<GMimeContentDisposition> disposition(
        g_mime_content_disposition_parse(EnsureGMime(), merged.c_str()));
    const char* found =
        disposition ? g_mime_content_disposition_get_parameter(disposition.get(), name) : nullptr;
    if (found) value = found;
  }
  return value;
}

// What a body without a file name of its own is called after: the file
// name extension that fits its type.
const char* ExtensionOf(const std::string& type) {
  struct Extension {
    const char* type;
    const char* extension;
  };
  static constexpr Extension kExtensions[] = {
      {"image/gif", ".gif"},        {"image/jpeg", ".jpg"},        {"image/pjpeg", ".jpg"},
      {"image/png", ".png"},        {"image/bmp", ".bmp"},         {"image/tiff", ".tif"},
      {"image/webp", ".webp"},      {"image/svg+xml", ".svg"},     {"image/x-icon", ".ico"},
      {"text/plain", ".txt"},       {"text/html", ".html"},        {"text/csv", ".csv"},
      {"text/xml", ".xml"},         {"text/calendar", ".ics"},     {"text/vcard", ".vcf"},
      {"text/x-vcard", ".vcf"},     {"text/rtf", ".rtf"},          {"application/rtf", ".rtf"},
      {"application/pdf", ".pdf"},  {"application/zip", ".zip"},   {"application/gzip", ".gz"},
      {"application/json", ".json"}, {"application/xml", ".xml"},  {"application/msword", ".doc"},
      {"application/vnd.ms-excel", ".xls"}, {"application/vnd.ms-powerpoint", ".ppt"},
      {"application/vnd.openxmlformats-officedocument.wordprocessingml.document", ".docx"},
      {"application/vnd.openxmlformats-officedocument.spreadsheetml.sheet", ".xlsx"},
      {"application/pgp-signature", ".asc"}, {"application/pkcs7-signature", ".p7s"},
      {"application/ics", ".ics"},  {"audio/mpeg", ".mp3"},        {"audio/wav", ".wav"},
      {"video/mp4", ".mp4"},        {"video/mpeg", ".mpg"},        {"message/rfc822", ".eml"},
  };
  for (const Extension& entry : kExtensions) {
    if (type == entry.type) return entry.extension;
  }
  return ".bin";
}

std::string_view StreamBytes(GMimeStream* stream) {
  GByteArray* bytes = g_mime_stream_mem_get_byte_array(GMIME_STREAM_MEM(stream));
  size_t size = std::min<size_t>(bytes->len, kMaxDecodedBytes);
  return std::string_view(reinterpret_cast<const char*>(bytes->data), size);
}

}  // namespace

std::shared_ptr<ParsedMessage> ParsedMessage::Parse(GByteArray* raw) {
  ByteArray owned(raw);
  std::shared_ptr<ParsedMessage> message(new ParsedMessage(owned.release()));
  // Nobody else can see the new message yet; the lock is for form's sake.
  std::lock_guard<std::mutex> lock(message->mutex_);
  message->ParseLocked();
  return message;
}

ParsedMessage::ParsedMessage(GByteArray* raw) : raw_(raw), tag_(NewTag()) {}

ParsedMessage::~ParsedMessage() {
  // The tree reads the bytes the stream wraps: drop it first.
  fallbackRoot_.Reset();
  message_.Reset();
  stream_.Reset();
}

void ParsedMessage::ParseLocked() {
  GMimeParserOptions* options = EnsureGMime();
  if (raw_->len == 0) {
    // Every new message object starts empty: one text body without data.
    fallbackRoot_.Reset(GMIME_OBJECT(g_mime_text_part_new()));
    BuildTable(fallbackRoot_.get(), nullptr);
    return;
  }
  const char* text = reinterpret_cast<const char*>(raw_->data);
  ParsePlan plan = PlanParse(text, raw_->len, options);

  GByteArray* view = raw_.get();
  size_t viewSize = plan.cut;
  if (GByteArray* planned = NewParsedText(plan, raw_->data)) {
    defused_.reset(planned);
    view = planned;
    viewSize = planned->len;
  }

  // Where the scan cannot rule out too many bodies, GMime's own count of
  // what it creates stops it, whatever the scan made of the structure.
  PartBudget budget;
  budget.limit = kParserEventBudget;
  stream_.Reset(NewBudgetedStream(view, plan.mayHaveTooManyParts ? &budget : nullptr));
  g_mime_stream_set_bounds(stream_.get(), 0, static_cast<gint64>(viewSize));
  {
    GObjectPtr<GMimeParser> parser(g_mime_parser_new_with_stream(stream_.get()));
    g_mime_parser_set_format(parser.get(), GMIME_FORMAT_MESSAGE);
    if (plan.mayHaveTooManyParts) {
      g_mime_parser_set_header_regex(parser.get(), "^Content-Type$", SpendOnHeader, &budget);
    }
    message_.Reset(g_mime_parser_construct_message(parser.get(), options));
  }
  DetachBudget(stream_.get());

  GMimeObject* root = message_ ? g_mime_message_get_mime_part(message_.get()) : nullptr;
  if (!root) {
    // Text that does not open with a header block is all body; a message
    // without a body has an empty one.
    GMimeTextPart* part = g_mime_text_part_new();
    fallbackRoot_.Reset(GMIME_OBJECT(part));
    if (!message_) {
      GObjectPtr<GMimeStream> content(
          g_mime_stream_substream(stream_.get(), 0, static_cast<gint64>(viewSize)));
      GObjectPtr<GMimeDataWrapper> wrapper(
          g_mime_data_wrapper_new_with_stream(content.get(), GMIME_CONTENT_ENCODING_DEFAULT));
      g_mime_part_set_content(GMIME_PART(part), wrapper.get());
    }
    root = fallbackRoot_.get();
  }
  BuildTable(root, message_.get());
}

void ParsedMessage::BuildTable(GMimeObject* root, GMimeMessage* rootMessage) {
  struct Pending {
    GMimeObject* part;
    GMimeMessage* message;
    int parent;
  };
  std::vector<Pending> pending{{root, rootMessage, -1}};
  while (!pending.empty() && nodes_.size() < static_cast<size_t>(kMaxParts)) {
    Pending next = pending.back();
    pending.pop_back();
    int index = AddNode(next.part, next.message, next.parent);
    const BodyNode& node = nodes_[index];
    if (node.depth >= kMaxDepth) continue;
    if (node.kind == BodyKind::kMultipart) {
      auto* multipart = GMIME_MULTIPART(node.part);
      for (int i = g_mime_multipart_get_count(multipart) - 1; i >= 0; --i) {
        pending.push_back({g_mime_multipart_get_part(multipart, i), nullptr, index});
      }
    } else if (node.kind == BodyKind::kMessage) {
      GMimeMessage* inner = g_mime_message_part_get_message(GMIME_MESSAGE_PART(node.part));
      GMimeObject* body = inner ? g_mime_message_get_mime_part(inner) : nullptr;
      if (body) pending.push_back({body, inner, index});
    }
  }
}

int ParsedMessage::AddNode(GMimeObject* part, GMimeMessage* message, int parent) {
  BodyNode node;
  node.part = part;
  node.message = message;
  node.parent = parent;
  if (parent >= 0) {
    const BodyNode& up = nodes_[parent];
    node.depth = up.depth + 1;
    node.insideMessage = up.insideMessage || up.kind == BodyKind::kMessage;
  }
  if (GMimeContentType* type = g_mime_object_get_content_type(part)) {
    char* mimeType = g_mime_content_type_get_mime_type(type);
    node.type = vorn_rt::AsciiLowered(mimeType ? mimeType : "");
    g_free(mimeType);
  }
  if (node.type.empty()) node.type = "text/plain";
  if (GMIME_IS_MULTIPART(part)) {
    if (g_mime_multipart_get_count(GMIME_MULTIPART(part)) > 0) {
      node.kind = BodyKind::kMultipart;
    } else {
      // Without a boundary that opens a part, GMime keeps the whole content
      // as the multipart's prologue: it is shown as plain text.
      node.kind = BodyKind::kText;
      node.fromPrologue = true;
      node.type = "text/plain";
    }
  } else if (GMIME_IS_MESSAGE_PART(part)) {
    node.kind = BodyKind::kMessage;
  } else {
    node.kind = node.type.compare(0, 5, "text/") == 0 ? BodyKind::kText : BodyKind::kOther;
  }
  const char* disposition = g_mime_object_get_disposition(part);
  node.attachmentDisposition = disposition && g_ascii_strcasecmp(disposition, "attachment") == 0;
  node.named = NonEmpty(g_mime_object_get_content_disposition_parameter(part, "filename")) ||
               NonEmpty(g_mime_object_get_content_type_parameter(part, "name"));

  int index = static_cast<int>(nodes_.size());
  if (parent >= 0) {
    BodyNode& up = nodes_[parent];
    if (up.lastChild >= 0) {
      nodes_[up.lastChild].next = index;
      node.previous = up.lastChild;
    } else {
      up.firstChild = index;
    }
    up.lastChild = index;
  }
  nodes_.push_back(std::move(node));
  return index;
}

HBODY ParsedMessage::HandleOf(int index) const {
  return (tag_ << kIndexBits) | static_cast<uint32_t>(index);
}

bool ParsedMessage::Resolve(HBODY handle, int* index) const {
  if ((handle >> kIndexBits) != tag_) return false;
  uint32_t i = handle & kIndexMask;
  if (i >= nodes_.size()) return false;
  *index = static_cast<int>(i);
  return true;
}

HRESULT ParsedMessage::FindBody(BODYLOCATION location, HBODY pivot, HBODY* body) const {
  if (!body) return StatusOf(Failure::kNullPointer);
  *body = HBODY_NULL;
  if (location == IBL_ROOT) {
    *body = HandleOf(0);
    return S_OK;
  }
  int from;
  if (!Resolve(pivot, &from)) return StatusOf(Failure::kInvalidHandle);
  const BodyNode& node = nodes_[from];
  int found;
  switch (location) {
    case IBL_PARENT:
      found = node.parent;
      break;
    case IBL_FIRST:
      found = node.firstChild;
      break;
    case IBL_LAST:
      found = node.lastChild;
      break;
    case IBL_NEXT:
      found = node.next;
      break;
    case IBL_PREVIOUS:
      found = node.previous;
      break;
    default:
      return StatusOf(Failure::kInvalidArgument);
  }
  if (found < 0) return StatusOf(Failure::kNotFound);
  *body = HandleOf(found);
  return S_OK;
}

int ParsedMessage::MainText(int index, std::vector<int>* shown) const {
  const BodyNode& node = nodes_[index];
  if (node.kind == BodyKind::kText) return node.attachmentDisposition ? -1 : index;
  if (node.kind != BodyKind::kMultipart) return -1;
  if (node.type != "multipart/alternative") {
    for (int child = node.firstChild; child >= 0; child = nodes_[child].next) {
      int found = MainText(child, shown);
      if (found >= 0) return found;
    }
    return -1;
  }
  // Alternatives: plain text before HTML before any other text; each one
  // found is a rendering of the same text, shown rather than attached.
  int best = -1;
  int bestRank = 3;
  for (int child = node.firstChild; child >= 0; child = nodes_[child].next) {
    int found = MainText(child, shown);
    if (found < 0) continue;
    if (shown) shown->push_back(found);
    const std::string& type = nodes_[found].type;
    int rank = type == "text/plain" ? 0 : type == "text/html" ? 1 : 2;
    if (rank < bestRank) {
      best = found;
      bestRank = rank;
    }
  }
  return best;
}

std::vector<HBODY> ParsedMessage::Attachments() const {
  std::vector<bool> shown(nodes_.size(), false);
  if (nodes_[0].kind == BodyKind::kText) {
    shown[0] = true;
  } else {
    std::vector<int> texts;
    int main = MainText(0, &texts);
    if (main >= 0) texts.push_back(main);
    for (int text : texts) shown[text] = true;
  }
  std::vector<HBODY> attachments;
  for (size_t i = 0; i < nodes_.size(); ++i) {
    const BodyNode& node = nodes_[i];
    if (node.kind == BodyKind::kMultipart || node.insideMessage || shown[i]) continue;
    attachments.push_back(HandleOf(static_cast<int>(i)));
  }
  return attachments;
}

bool ParsedMessage::IsAttachment(int index) const {
  const BodyNode& node = nodes_[index];
  if (node.kind == BodyKind::kMultipart) return false;
  return node.attachmentDisposition || node.named || node.kind != BodyKind::kText;
}

HRESULT ParsedMessage::IsBodyType(int index, IMSGBODYTYPE type) {
  const BodyNode& node = nodes_[index];
  switch (type) {
    case IBT_ATTACHMENT:
      return IsAttachment(index) ? S_OK : S_FALSE;
    case IBT_EMPTY: {
      if (node.kind == BodyKind::kMultipart) return node.firstChild < 0 ? S_OK : S_FALSE;
      std::lock_guard<std::mutex> lock(mutex_);
      GObjectPtr<GMimeStream> holder;
      return BodyBytes(index, false, &holder).empty() ? S_OK : S_FALSE;
    }
  }
  return StatusOf(Failure::kInvalidArgument);
}

std::string ParsedMessage::DisplayName(int index) {
  std::lock_guard<std::mutex> lock(mutex_);
  std::string name = DeclaredName(index);
  if (!name.empty()) return name;
  if (!namesGiven_) {
    GiveNames();
    namesGiven_ = true;
  }
  auto given = givenNames_.find(index);
  return given == givenNames_.end() ? std::string() : given->second;
}

std::string ParsedMessage::DeclaredName(int index) {
  GMimeObject* part = nodes_[index].part;
  std::string name = FieldParameter(part, false, "filename");
  if (name.empty()) name = FieldParameter(part, true, "name");
  return ReduceToBaseName(name, kMaxDisplayNameBytes);
}

void ParsedMessage::GiveNames() {
  int unnamed = 0;
  for (HBODY handle : Attachments()) {
    int index = 0;
    if (!Resolve(handle, &index) || !IsAttachment(index) || !DeclaredName(index).empty()) {
      continue;
    }
    ++unnamed;
    const BodyNode& node = nodes_[index];
    std::string stem;
    if (node.kind == BodyKind::kMessage) {
      GMimeMessage* inner = g_mime_message_part_get_message(GMIME_MESSAGE_PART(node.part));
      GMimeHeader* subject =
          inner ? g_mime_header_list_get_header(
                      g_mime_object_get_header_list(GMIME_OBJECT(inner)), "Subject")
                : nullptr;
      stem = subject ? FieldText(subject) : std::string();
      if (Trim(stem).empty()) stem = "message";
    } else {
      stem = "attachment-" + std::to_string(unnamed);
    }
    givenNames_[index] = GeneratedName(stem, ExtensionOf(node.type), kMaxDisplayNameBytes);
  }
}

std::string ParsedMessage::DecodedBytes(int index, bool transferDecode) {
  GObjectPtr<GMimeStream> holder;
  return std::string(BodyBytes(index, transferDecode, &holder));
}

std::string ParsedMessage::DecodedText(int index) {
  GObjectPtr<GMimeStream> holder;
  return DecodeText(BodyBytes(index, true, &holder), Parameter(index, "charset"),
                    kMaxDecodedBytes);
}

std::string_view ParsedMessage::BodyBytes(int index, bool transferDecode,
                                          GObjectPtr<GMimeStream>* holder) {
  const BodyNode& node = nodes_[index];
  if (node.fromPrologue) {
    const char* prologue = g_mime_multipart_get_prologue(GMIME_MULTIPART(node.part));
    return CutAtCharacter(prologue ? prologue : "", kMaxDecodedBytes);
  }
  holder->Reset(g_mime_stream_mem_new());
  GMimeStream* out = holder->get();
  if (node.kind == BodyKind::kMultipart) {
    g_mime_object_write_content_to_stream(node.part, nullptr, out);
  } else if (node.kind == BodyKind::kMessage) {
    GMimeMessage* inner = g_mime_message_part_get_message(GMIME_MESSAGE_PART(node.part));
    if (inner) g_mime_object_write_to_stream(GMIME_OBJECT(inner), nullptr, out);
  } else if (GMIME_IS_PART(node.part)) {
    GMimeDataWrapper* content = g_mime_part_get_content(GMIME_PART(node.part));
    if (content && transferDecode) {
      g_mime_data_wrapper_write_to_stream(content, out);
    } else if (content) {
      GMimeStream* encoded = g_mime_data_wrapper_get_stream(content);
      g_mime_stream_reset(encoded);
      g_mime_stream_write_to_stream(encoded, out);
      g_mime_stream_reset(encoded);
    }
  }
  return StreamBytes(out);
}

std::string ParsedMessage::Parameter(int index, const char* contentTypeParameter) {
  const char* value =
      g_mime_object_get_content_type_parameter(nodes_[index].part, contentTypeParameter);
  return value ? std::string(value) : std::string();
}

HRESULT ParsedMessage::GetData(int index, ENCODINGTYPE encoding, BodyData* data) {
  std::lock_guard<std::mutex> lock(mutex_);
  const BodyNode& node = nodes_[index];
  data->utf16 = false;
  switch (encoding) {
    case IET_BINARY:
      data->bytes = DecodedBytes(index, false);
      return S_OK;
    case IET_DECODED:
      data->bytes = DecodedBytes(index, true);
      return S_OK;
    case IET_UNICODE:
      if (node.kind == BodyKind::kText) {
        std::string text = DecodedText(index);
        data->bytes.clear();
        data->bytes.reserve(std::min(2 * text.size(), kMaxDecodedBytes));
        AppendUtf16(text, &data->bytes, kMaxDecodedBytes);
        data->utf16 = true;
      } else if (node.kind == BodyKind::kMultipart) {
        int main = MainText(index, nullptr);
        data->bytes = main < 0 ? std::string() : DecodedText(main);
      } else {
        data->bytes = DecodedBytes(index, true);
      }
      return S_OK;
  }
  return StatusOf(Failure::kInvalidArgument);
}

GMimeHeader* ParsedMessage::FindHeader(int index, const char* name) {
  const BodyNode& node = nodes_[index];
  if (node.message) {
    GMimeHeaderList* headers = g_mime_object_get_header_list(GMIME_OBJECT(node.message));
    if (GMimeHeader* header = g_mime_header_list_get_header(headers, name)) return header;
  }
  return g_mime_header_list_get_header(g_mime_object_get_header_list(node.part), name);
}

std::string ParsedMessage::MainCharset(int index) {
  int main = nodes_[index].kind == BodyKind::kText ? index : MainText(index, nullptr);
  if (main < 0) return std::string();
  std::string declared = vorn_rt::AsciiLowered(Trim(TextToUtf8(Parameter(main, "charset"))));
  if (!declared.empty()) return declared;
  GObjectPtr<GMimeStream> holder;
  return UndeclaredCharset(BodyBytes(main, true, &holder));
}

HRESULT ParsedMessage::GetProp(int index, LPCSTR name, DWORD flags, LPPROPVARIANT value) {
  VARTYPE form = value->vt == VT_EMPTY ? VT_LPSTR : value->vt;
  PropVariantInit(value);
  if (form != VT_LPSTR && form != VT_FILETIME) return StatusOf(Failure::kInvalidArgument);
  if ((flags & ~(PDF_DISPLAYNAMES | PDF_ADDRESSES)) != 0 ||
      flags == (PDF_DISPLAYNAMES | PDF_ADDRESSES)) {
    return StatusOf(Failure::kInvalidArgument);
  }
  if (ISPIDSTR(name)) {
    if (reinterpret_cast<uintptr_t>(name) != PID_HDR_CNTTYPE) {
      return StatusOf(Failure::kInvalidArgument);
    }
    if (form != VT_LPSTR) return StatusOf(Failure::kUnconvertible);
    return SetString(value, nodes_[index].type);
  }

  std::lock_guard<std::mutex> lock(mutex_);
  if (g_ascii_strcasecmp(name, PIDSTR_MAIN_CHARSET) == 0) {
    if (form != VT_LPSTR) return StatusOf(Failure::kUnconvertible);
    return SetString(value, MainCharset(index));
  }
  GMimeHeader* header = FindHeader(index, name);
  if (!header) return StatusOf(Failure::kNotFound);
  if (form == VT_FILETIME) {
    const char* text = g_mime_header_get_value(header);
    uint64_t ticks = 0;
    switch (ReadDateTime(text ? text : "", &ticks)) {
      case DateReading::kDate:
        value->vt = VT_FILETIME;
        value->filetime = vorn_rt::FileTimeOf(ticks);
        return S_OK;
      case DateReading::kOutOfRange:
        return StatusOf(Failure::kUnconvertible);
      case DateReading::kNoDate:
        break;
    }
    // Other forms real mail uses (asctime's, numeric dates) as GMime reads them.
    GDateTime* date = g_mime_utils_header_decode_date(text);
    if (!date) return StatusOf(Failure::kUnconvertible);
    int64_t seconds = g_date_time_to_unix(date);
    int64_t micros = g_date_time_get_microsecond(date);
    g_date_time_unref(date);
    if (seconds < -vorn_rt::kSecondsFrom1601To1970) return StatusOf(Failure::kUnconvertible);
    value->vt = VT_FILETIME;
    const uint32_t nanoseconds = static_cast<uint32_t>(micros) * 1000;
    value->filetime = vorn_rt::FileTimeOf(vorn_rt::TicksFromUnixSeconds(seconds, nanoseconds));
    return S_OK;
  }
  if (flags != 0 && IsAddressField(name)) {
    return SetString(value, JoinMailboxes(g_mime_header_get_raw_value(header), flags,
                                          EnsureGMime()));
  }
  return SetString(value, FieldText(header));
}

}  // namespace vorn_mime
