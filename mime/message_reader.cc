// CMailStore: the message reader. Opens one message of the current folder as
// a MIME message and caches its body text and the names of its attachments.

#include <cstring>
#include <memory>
#include <new>

#include "platform/codepage.h"
#include "platform/runtime.h"
#include "runtime/text.h"
#include "store/mailstore.h"

namespace {

// Read sizes leave room for a terminating zero in each local buffer.
constexpr ULONG kTextBufferUnits = 2048;
constexpr ULONG kTextReadBytes = 4094;
constexpr ULONG kByteBufferSize = 2048;
constexpr ULONG kByteReadBytes = 2047;

bool IsHighSurrogate(WCHAR unit) { return unit >= 0xD800 && unit <= 0xDBFF; }

}  // namespace

int32_t CMailStore::SetMessage(int32_t messageId) {
  if (!currentFolder_) return 0;
  currentMessage_.Reset();
  if (FAILED(currentFolder_->OpenMessage(static_cast<MESSAGEID>(messageId), IID_IMimeMessage,
                                         currentMessage_.PutVoid())) ||
      !currentMessage_) {
    currentMessage_.Detach();  // a refusal hands out nothing
    return 0;
  }
  HBODY root = HBODY_NULL;
  if (FAILED(currentMessage_->GetBody(IBL_ROOT, HBODY_NULL, &root))) {
    rootBody_ = HBODY_NULL;
    return 0;
  }
  rootBody_ = root;
  if (!LoadBody()) return 0;
  return LoadAttachments();
}

int32_t CMailStore::LoadBody() {
  rootBodyProperties_.Reset();
  if (!currentMessage_) return 0;
  if (FAILED(currentMessage_->BindToObject(rootBody_, IID_IMimePropertySet,
                                           rootBodyProperties_.PutVoid()))) {
    rootBodyProperties_.Detach();
    return 0;
  }

  // From here on the body text belongs to this message, also when its data
  // cannot be had: the previous message's text must not linger beside this
  // message's attachments.
  ComPtr<IMimeBody> body;
  if (FAILED(currentMessage_->BindToObject(rootBody_, IID_IMimeBody, body.PutVoid())) ||
      !body) {
    body.Detach();
    bodyText_.clear();
    return 1;
  }
  const bool isText = GetBodyContentType(rootBody_).rfind("text", 0) == 0;
  bodyText_.clear();

  ComPtr<IStream> stream;
  if (FAILED(body->GetData(IET_UNICODE, stream.Put())) || !stream) {
    stream.Detach();
    return 1;
  }
  try {
    if (isText) {
      ReadTextBody(stream.Get());
    } else {
      ReadByteBody(stream.Get());
    }
  } catch (const std::bad_alloc&) {
    // What was appended before memory ran out stays, as after a failed read.
  }
  return 1;
}

void CMailStore::AppendWide(const WCHAR* units, size_t count) {
  if (count == 0) return;
  const int cch = static_cast<int>(count);
  const int needed = WideCharToMultiByte(CP_ACP, 0, units, cch, nullptr, 0, nullptr, nullptr);
  if (needed <= 0) return;
  const size_t old = bodyText_.size();
  bodyText_.resize(old + static_cast<size_t>(needed));
  const int written = WideCharToMultiByte(CP_ACP, 0, units, cch, bodyText_.data() + old, needed,
                                          nullptr, nullptr);
  bodyText_.resize(old + static_cast<size_t>(written > 0 ? written : 0));
}

void CMailStore::ReadTextBody(IStream* stream) {
  // The stream's bytes are UTF-16LE. A read may end inside a unit (an odd
  // byte) or between the two halves of a surrogate pair; that unfinished part
  // is carried to the front of the next read, so every later chunk stays
  // aligned and no character is split. Carried: at most a high surrogate and
  // one byte.
  BYTE bytes[kTextBufferUnits * 2];
  WCHAR units[kTextBufferUnits];
  ULONG carried = 0;
  for (;;) {
    ULONG read = 0;
    const ULONG room = kTextReadBytes - carried;
    // Zeroed first, so a stream that reports more than it delivered adds
    // nothing undefined.
    std::memset(bytes + carried, 0, room);
    if (FAILED(stream->Read(bytes + carried, room, &read)) || read == 0) break;
    if (read > room) read = room;  // never past the buffer, whatever the stream says
    const ULONG total = carried + read;
    const ULONG count = total / 2;
    for (ULONG i = 0; i < count; ++i) {
      units[i] = static_cast<WCHAR>(bytes[2 * i] | (bytes[2 * i + 1] << 8));
    }
    units[count] = 0;
    // A zero unit ends the text of its own chunk.
    ULONG length = 0;
    while (units[length] != 0) ++length;
    ULONG keepUnits = 0;
    if (length == count && length > 0 && IsHighSurrogate(units[length - 1])) {
      keepUnits = 1;  // its low half comes with the next read
      --length;
    }
    AppendWide(units, length);
    // Move what is carried (the held-back unit and an odd byte) to the front.
    const ULONG keepFrom = (count - keepUnits) * 2;
    carried = total - keepFrom;
    std::memmove(bytes, bytes + keepFrom, carried);
  }
  // A high surrogate whose low half never came is converted on its own, as
  // any lone surrogate is; an odd last byte is not a unit and is dropped.
  if (carried >= 2) {
    const WCHAR lone = static_cast<WCHAR>(bytes[0] | (bytes[1] << 8));
    AppendWide(&lone, 1);
  }
}

void CMailStore::ReadByteBody(IStream* stream) {
  char buffer[kByteBufferSize];
  for (;;) {
    ULONG read = 0;
    std::memset(buffer, 0, kByteReadBytes);
    if (FAILED(stream->Read(buffer, kByteReadBytes, &read)) || read == 0) break;
    if (read > kByteReadBytes) read = kByteReadBytes;
    buffer[read] = '\0';
    // A zero byte ends the text of its own chunk.
    bodyText_.append(buffer, strnlen(buffer, read));
  }
}

std::string CMailStore::GetBodyContentType(HBODY body) {
  std::string type;
  if (!currentMessage_) return type;
  PROPVARIANT value;
  PropVariantInit(&value);
  value.vt = VT_LPSTR;
  if (FAILED(currentMessage_->GetBodyProp(body, PIDTOSTR(PID_HDR_CNTTYPE), 0, &value))) {
    return type;
  }
  // Only a string of the asked type is read; a null one is an empty type.
  if (value.vt == VT_LPSTR && value.pszVal) {
    try {
      type = value.pszVal;
    } catch (const std::bad_alloc&) {
      type.clear();
    }
  }
  PropVariantClear(&value);
  for (char& c : type) c = vorn_rt::AsciiLower(c);
  return type;
}

int32_t CMailStore::LoadAttachments() {
  if (!currentMessage_) return 0;
  ULONG count = 0;
  HBODY* handles = nullptr;
  if (FAILED(currentMessage_->GetAttachments(&count, &handles))) return 0;
  ClearAttachmentList();
  if (!handles) count = 0;  // a count without an array lists nothing

  for (ULONG i = 0; i < count; ++i) {
    if (currentMessage_->IsBodyType(handles[i], IBT_ATTACHMENT) != S_OK) continue;
    ComPtr<IMimeBody> body;
    if (FAILED(currentMessage_->BindToObject(handles[i], IID_IMimeBody, body.PutVoid())) ||
        !body) {
      body.Detach();
      continue;
    }
    LPSTR name = nullptr;
    if (FAILED(body->GetDisplayName(&name))) continue;

    std::unique_ptr<CAttachmentEntry> record(new (std::nothrow) CAttachmentEntry);
    if (record) {
      newAttachment_ = record.get();
      try {
        if (name) record->name = name;
        attachments_.AddTail(std::move(record));
      } catch (const std::bad_alloc&) {
        // The attachment is left out; the rest still come.
      }
      newAttachment_ = nullptr;
    }
    CoTaskMemFree(name);
  }
  CoTaskMemFree(handles);
  return 1;
}

std::string CMailStore::GetBody() const { return bodyText_; }

int32_t CMailStore::GetAttachmentCount() const { return attachments_.GetCount(); }

std::string CMailStore::GetAttachmentName(int32_t index) const {
  const CAttachmentEntry* attachment = attachments_.FindIndex(index);
  return attachment ? attachment->name : std::string();
}
