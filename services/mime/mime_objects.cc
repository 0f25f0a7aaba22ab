#include "services/mime/mime_objects.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>

#include "platform/runtime.h"
#include "runtime/server_module.h"
#include "runtime/unknown_impl.h"
#include "services/mime/limits.h"
#include "services/mime/parsed_message.h"
#include "services/mime/status.h"

namespace vorn_mime {
namespace {

// Every object of the library counts towards DllCanUnloadNow while it lives
// (an ObjectOfLibrary member), and holds one reference count.
class ObjectOfLibrary : public vorn_rt::ModuleObject {
 public:
  ObjectOfLibrary() : vorn_rt::ModuleObject(MimeModule()) {}
};

// Queries a freshly made object (one reference held by the caller) and
// drops that reference, so the object lives only if the query succeeded.
template <class Object>
HRESULT QueryNew(Object* object, REFIID riid, void** ppv) {
  HRESULT hr = object->QueryInterface(riid, ppv);
  object->Release();
  return hr;
}

// ---------------------------------------------------------------------------
// A read-only stream over bytes it owns. For UTF-16 text, reads deliver whole
// code units and never end between the two halves of a surrogate pair when
// the caller asks for at least four bytes.

class CDataStream final : public IStream {
 public:
  explicit CDataStream(BodyData data) : data_(std::move(data)) {}

  HRESULT QueryInterface(REFIID riid, void** ppv) override {
    return QueryInterfaceFrom(
        {{IID_IUnknown, this}, {IID_ISequentialStream, this}, {IID_IStream, this}}, riid, ppv);
  }
  ULONG AddRef() override { return refs_.AddRef(); }
  ULONG Release() override { return refs_.Release([this] { delete this; }); }

  HRESULT Read(void* pv, ULONG cb, ULONG* pcbRead) override {
    if (pcbRead) *pcbRead = 0;
    if (!pv && cb > 0) return StatusOf(Failure::kNullPointer);
    std::lock_guard<std::mutex> lock(mutex_);
    const std::string& bytes = data_.bytes;
    size_t left = position_ < bytes.size() ? bytes.size() - position_ : 0;
    size_t n = std::min<size_t>(cb, left);
    if (data_.utf16 && position_ % 2 == 0) {
      if (n >= 2) n &= ~size_t{1};
      if (n >= 4 && n < left) {
        auto last = static_cast<uint16_t>(static_cast<uint8_t>(bytes[position_ + n - 2]) |
                                          static_cast<uint8_t>(bytes[position_ + n - 1]) << 8);
        if (last >= 0xD800 && last <= 0xDBFF) n -= 2;
      }
    }
    if (n > 0) std::memcpy(pv, bytes.data() + position_, n);
    position_ += n;
    if (pcbRead) *pcbRead = static_cast<ULONG>(n);
    return S_OK;
  }
  HRESULT Write(const void*, ULONG, ULONG* pcbWritten) override {
    if (pcbWritten) *pcbWritten = 0;
    return StatusOf(Failure::kAccessDenied);
  }
  HRESULT Seek(LARGE_INTEGER move, DWORD origin, ULARGE_INTEGER* newPosition) override {
    std::lock_guard<std::mutex> lock(mutex_);
    long long base;
    switch (origin) {
      case STREAM_SEEK_SET:
        base = 0;
        break;
      case STREAM_SEEK_CUR:
        base = static_cast<long long>(position_);
        break;
      case STREAM_SEEK_END:
        base = static_cast<long long>(data_.bytes.size());
        break;
      default:
        return STG_E_INVALIDFUNCTION;
    }
    long long target;
    if (__builtin_add_overflow(base, move.QuadPart, &target) || target < 0) {
      return STG_E_INVALIDFUNCTION;
    }
    position_ = static_cast<size_t>(target);
    if (newPosition) newPosition->QuadPart = static_cast<ULONGLONG>(target);
    return S_OK;
  }
  HRESULT SetSize(ULARGE_INTEGER) override { return StatusOf(Failure::kAccessDenied); }
  HRESULT Stat(STATSTG* stat, DWORD) override {
    if (!stat) return StatusOf(Failure::kNullPointer);
    stat->cbSize.QuadPart = data_.bytes.size();
    return S_OK;
  }

 private:
  ObjectOfLibrary inUse_;
  RefCount<> refs_;
  std::mutex mutex_;
  BodyData data_;
  size_t position_ = 0;
};

// ---------------------------------------------------------------------------
// One body of a parsed message, as IMimeBody and as IMimePropertySet. It
// keeps the parse it came from alive, whatever becomes of the message.

class CMimeBody final : public IMimeBody, public IMimePropertySet {
 public:
  CMimeBody(std::shared_ptr<ParsedMessage> message, int index)
      : message_(std::move(message)), index_(index) {}

  HRESULT QueryInterface(REFIID riid, void** ppv) override {
    return QueryInterfaceAs<IMimeBody, IMimePropertySet>(this, riid, ppv);
  }
  ULONG AddRef() override { return refs_.AddRef(); }
  ULONG Release() override { return refs_.Release([this] { delete this; }); }

  HRESULT GetDisplayName(LPSTR* name) override {
    if (!name) return StatusOf(Failure::kNullPointer);
    *name = nullptr;
    return Guarded([&] {
      std::string text = message_->DisplayName(index_);
      auto* copy = static_cast<char*>(CoTaskMemAlloc(text.size() + 1));
      if (!copy) return StatusOf(Failure::kOutOfMemory);
      std::memcpy(copy, text.c_str(), text.size() + 1);
      *name = copy;
      return S_OK;
    });
  }

  HRESULT GetData(ENCODINGTYPE encoding, IStream** stream) override {
    if (!stream) return StatusOf(Failure::kNullPointer);
    *stream = nullptr;
    return Guarded([&] {
      BodyData data;
      HRESULT hr = message_->GetData(index_, encoding, &data);
      if (FAILED(hr)) return hr;
      *stream = new CDataStream(std::move(data));
      return S_OK;
    });
  }

  HRESULT GetProp(LPCSTR name, DWORD flags, LPPROPVARIANT value) override {
    if (!value) return StatusOf(Failure::kNullPointer);
    return Guarded([&] { return message_->GetProp(index_, name, flags, value); });
  }

 private:
  ObjectOfLibrary inUse_;
  RefCount<> refs_;
  std::shared_ptr<ParsedMessage> message_;
  int index_;
};

// ---------------------------------------------------------------------------
// The message class.

class CMimeMessage final : public IMimeMessage, public IPersistStreamInit {
 public:
  CMimeMessage() = default;

  HRESULT QueryInterface(REFIID riid, void** ppv) override {
    IMimeMessage* message = this;
    IPersistStreamInit* persist = this;
    return QueryInterfaceFrom({{IID_IUnknown, message},
                               {IID_IMimeMessage, message},
                               {IID_IPersistStreamInit, persist},
                               {IID_IPersist, persist}},
                              riid, ppv);
  }
  ULONG AddRef() override { return refs_.AddRef(); }
  ULONG Release() override { return refs_.Release([this] { delete this; }); }

  // Makes the message empty; false when memory runs out.
  // Back to an empty message, parsed when first looked at: a new object is
  // most often loaded at once, and parsing nothing costs a message's worth
  // of objects made and freed.
  HRESULT Reset() {
    Replace(nullptr);
    return S_OK;
  }

  // IMimeMessage

  HRESULT GetBody(BODYLOCATION location, HBODY pivot, LPHBODY body) override {
    return Guarded([&] { return Current()->FindBody(location, pivot, body); });
  }

  HRESULT BindToObject(HBODY body, REFIID riid, void** object) override {
    if (!object) return StatusOf(Failure::kNullPointer);
    *object = nullptr;
    return Guarded([&] {
      std::shared_ptr<ParsedMessage> message = Current();
      int index;
      if (!message->Resolve(body, &index)) return StatusOf(Failure::kInvalidHandle);
      return QueryNew(new CMimeBody(std::move(message), index), riid, object);
    });
  }

  HRESULT GetBodyProp(HBODY body, LPCSTR name, DWORD flags, LPPROPVARIANT value) override {
    if (!value) return StatusOf(Failure::kNullPointer);
    return Guarded([&] {
      std::shared_ptr<ParsedMessage> message = Current();
      int index;
      if (!message->Resolve(body, &index)) {
        PropVariantInit(value);
        return StatusOf(Failure::kInvalidHandle);
      }
      return message->GetProp(index, name, flags, value);
    });
  }

  HRESULT GetAttachments(ULONG* count, LPHBODY* bodies) override {
    if (!count || !bodies) return StatusOf(Failure::kNullPointer);
    *count = 0;
    *bodies = nullptr;
    return Guarded([&] {
      std::vector<HBODY> found = Current()->Attachments();
      if (found.empty()) return S_OK;
      auto* array = static_cast<HBODY*>(CoTaskMemAlloc(found.size() * sizeof(HBODY)));
      if (!array) return StatusOf(Failure::kOutOfMemory);
      std::copy(found.begin(), found.end(), array);
      *count = static_cast<ULONG>(found.size());
      *bodies = array;
      return S_OK;
    });
  }

  HRESULT IsBodyType(HBODY body, IMSGBODYTYPE type) override {
    return Guarded([&] {
      std::shared_ptr<ParsedMessage> message = Current();
      int index;
      if (!message->Resolve(body, &index)) return StatusOf(Failure::kInvalidHandle);
      return message->IsBodyType(index, type);
    });
  }

  // IPersistStreamInit

  HRESULT GetClassID(CLSID* clsid) override {
    if (!clsid) return StatusOf(Failure::kNullPointer);
    *clsid = CLSID_VornMimeMessage;
    return S_OK;
  }

  // Nothing here changes a loaded message.
  HRESULT IsDirty() override { return S_FALSE; }

  HRESULT Load(IStream* stream) override {
    if (!stream) return StatusOf(Failure::kNullPointer);
    return Guarded([&] {
      GByteArray* raw = g_byte_array_new();
      HRESULT hr = ReadAll(stream, raw);
      if (FAILED(hr)) {
        g_byte_array_unref(raw);
        return hr;
      }
      Replace(ParsedMessage::Parse(raw));
      return S_OK;
    });
  }

  HRESULT Save(IStream* stream, BOOL /*clearDirty*/) override {
    if (!stream) return StatusOf(Failure::kNullPointer);
    return Guarded([&] {
      std::shared_ptr<ParsedMessage> message = Current();
      const guint8* data = message->raw_data();
      size_t left = message->raw_size();
      while (left > 0) {
        ULONG chunk = static_cast<ULONG>(std::min<size_t>(left, 1u << 20));
        ULONG written = 0;
        HRESULT hr = stream->Write(data, chunk, &written);
        if (FAILED(hr)) return hr;
        if (written == 0 || written > chunk) return StatusOf(Failure::kWriteFault);
        data += written;
        left -= written;
      }
      return S_OK;
    });
  }

  HRESULT GetSizeMax(ULARGE_INTEGER* size) override {
    if (!size) return StatusOf(Failure::kNullPointer);
    return Guarded([&] {
      size->QuadPart = Current()->raw_size();
      return S_OK;
    });
  }

  HRESULT InitNew() override { return Reset(); }

 private:
  static HRESULT ReadAll(IStream* stream, GByteArray* raw) {
    // Room for the whole text when the stream tells its size, else room that
    // doubles as the text comes.
    STATSTG stat{};
    size_t room = 4096;
    if (SUCCEEDED(stream->Stat(&stat, 0)) && stat.cbSize.QuadPart < kMaxMessageBytes) {
      room = static_cast<size_t>(stat.cbSize.QuadPart) + 1;
    }
    for (;;) {
      if (raw->len >= kMaxMessageBytes) {
        // One byte more than the limit tells a full stream from a longer one.
        guint8 probe;
        ULONG got = 0;
        HRESULT hr = stream->Read(&probe, 1, &got);
        if (FAILED(hr)) return hr;
        return got == 0 ? S_OK : StatusOf(Failure::kTooLarge);
      }
      guint before = raw->len;
      if (before == room) room = std::min(2 * room, kMaxMessageBytes);
      ULONG want = static_cast<ULONG>(std::min<size_t>(room - before, kMaxMessageBytes - before));
      g_byte_array_set_size(raw, before + want);
      ULONG got = 0;
      HRESULT hr = stream->Read(raw->data + before, want, &got);
      if (FAILED(hr)) return hr;
      if (got > want) return StatusOf(Failure::kReadFault);
      g_byte_array_set_size(raw, before + got);
      if (got == 0) return S_OK;
    }
  }

  std::shared_ptr<ParsedMessage> Current() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!message_) message_ = ParsedMessage::Parse(g_byte_array_new());
    return message_;
  }

  void Replace(std::shared_ptr<ParsedMessage> message) {
    std::shared_ptr<ParsedMessage> old;
    std::lock_guard<std::mutex> lock(mutex_);
    old = std::exchange(message_, std::move(message));
  }

  ObjectOfLibrary inUse_;
  RefCount<> refs_;
  std::mutex mutex_;
  std::shared_ptr<ParsedMessage> message_;
};

// ---------------------------------------------------------------------------

class CMimeAllocator final : public IMimeAllocator {
 public:
  HRESULT QueryInterface(REFIID riid, void** ppv) override {
    return QueryInterfaceAs<IMimeAllocator>(this, riid, ppv);
  }
  ULONG AddRef() override { return refs_.AddRef(); }
  ULONG Release() override { return refs_.Release([this] { delete this; }); }

  void* Alloc(SIZE_T cb) override { return CoTaskMemAlloc(cb); }
  void Free(void* pv) override { CoTaskMemFree(pv); }

 private:
  ObjectOfLibrary inUse_;
  RefCount<> refs_;
};

}  // namespace

HRESULT CreateMimeMessage(REFIID riid, void** ppv) {
  if (!ppv) return StatusOf(Failure::kNullPointer);
  *ppv = nullptr;
  return Guarded([&] {
    auto* message = new CMimeMessage();
    HRESULT hr = message->Reset();
    if (FAILED(hr)) {
      message->Release();
      return hr;
    }
    return QueryNew(message, riid, ppv);
  });
}

HRESULT CreateMimeAllocator(REFIID riid, void** ppv) {
  if (!ppv) return StatusOf(Failure::kNullPointer);
  *ppv = nullptr;
  return Guarded([&] { return QueryNew(new CMimeAllocator(), riid, ppv); });
}

vorn_rt::ServerModule& MimeModule() {
  static vorn_rt::ServerModule module;
  return module;
}

}  // namespace vorn_mime
