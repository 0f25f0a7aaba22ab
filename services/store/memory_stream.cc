#include "services/store/memory_stream.h"

#include <algorithm>
#include <cstring>
#include <new>


namespace vorn_store {
namespace {

// Answered only by the store's own streams, so that CommitStream can tell
// them from any other IStream. Not a public interface.
constexpr IID IID_StoreMemoryStream = MakeGuid("{ABC26DD4-1DBD-443F-8FD5-207C5098ADC4}");

}  // namespace

MemoryStream::MemoryStream(std::shared_ptr<const std::string> readOnly,
                           std::shared_ptr<std::string> writable,
                           std::unique_ptr<Reservation> reservation)
    : bytes_(writable ? writable : std::move(readOnly)),
      writable_(std::move(writable)),
      reservation_(std::move(reservation)) {}

MemoryStream::~MemoryStream() = default;

HRESULT MemoryStream::CreateReader(std::shared_ptr<const std::string> bytes, IStream** stream) {
  if (!stream) return E_POINTER;
  *stream = nullptr;
  if (!bytes) return E_INVALIDARG;
  auto* created = new (std::nothrow) MemoryStream(std::move(bytes), nullptr, nullptr);
  if (!created) return E_OUTOFMEMORY;
  *stream = created;
  return S_OK;
}

HRESULT MemoryStream::CreateWriter(Reservation reservation, IStream** stream) {
  if (!stream) return E_POINTER;
  *stream = nullptr;
  try {
    auto buffer = std::make_shared<std::string>();
    auto held = std::make_unique<Reservation>(std::move(reservation));
    *stream = new MemoryStream(nullptr, std::move(buffer), std::move(held));
    return S_OK;
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
}

MemoryStream* MemoryStream::FromStream(IStream* stream) {
  if (!stream) return nullptr;
  void* found = nullptr;
  if (FAILED(stream->QueryInterface(IID_StoreMemoryStream, &found)) || !found) return nullptr;
  auto* own = static_cast<MemoryStream*>(found);
  own->Release();  // the caller's reference keeps it alive
  return own;
}

HRESULT MemoryStream::QueryInterface(REFIID riid, void** ppv) {
  return QueryInterfaceFrom({{IID_IUnknown, this},
                             {IID_ISequentialStream, this},
                             {IID_IStream, this},
                             {IID_StoreMemoryStream, this}},
                            riid, ppv);
}

ULONG MemoryStream::AddRef() { return references_.AddRef(); }

ULONG MemoryStream::Release() {
  return references_.Release([this] { delete this; });
}

HRESULT MemoryStream::Read(void* pv, ULONG cb, ULONG* pcbRead) {
  if (pcbRead) *pcbRead = 0;
  if (!pv && cb > 0) return STG_E_INVALIDPOINTER;
  const std::string& data = *bytes_;
  uint64_t available = position_ < data.size() ? data.size() - position_ : 0;
  ULONG count = static_cast<ULONG>(std::min<uint64_t>(cb, available));
  if (count > 0) std::memcpy(pv, data.data() + position_, count);
  position_ += count;
  if (pcbRead) *pcbRead = count;
  return S_OK;
}

HRESULT MemoryStream::Write(const void* pv, ULONG cb, ULONG* pcbWritten) {
  if (pcbWritten) *pcbWritten = 0;
  if (!writable_) return STG_E_ACCESSDENIED;
  if (!pv && cb > 0) return STG_E_INVALIDPOINTER;
  if (position_ + cb > kMaxMessageSize) return STG_E_MEDIUMFULL;
  std::string& data = *writable_;
  try {
    if (data.size() < position_ + cb) data.resize(position_ + cb);
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
  if (cb > 0) std::memcpy(data.data() + position_, pv, cb);
  position_ += cb;
  if (pcbWritten) *pcbWritten = cb;
  return S_OK;
}

HRESULT MemoryStream::Seek(LARGE_INTEGER move, DWORD origin, ULARGE_INTEGER* newPosition) {
  int64_t base;
  switch (origin) {
    case STREAM_SEEK_SET:
      base = 0;
      break;
    case STREAM_SEEK_CUR:
      base = static_cast<int64_t>(position_);
      break;
    case STREAM_SEEK_END:
      base = static_cast<int64_t>(bytes_->size());
      break;
    default:
      return STG_E_INVALIDFUNCTION;
  }
  int64_t target;
  if (__builtin_add_overflow(base, move.QuadPart, &target) || target < 0) {
    return STG_E_INVALIDFUNCTION;
  }
  position_ = static_cast<uint64_t>(target);
  if (newPosition) newPosition->QuadPart = position_;
  return S_OK;
}

HRESULT MemoryStream::SetSize(ULARGE_INTEGER newSize) {
  if (!writable_) return STG_E_ACCESSDENIED;
  if (newSize.QuadPart > kMaxMessageSize) return STG_E_MEDIUMFULL;
  try {
    writable_->resize(static_cast<size_t>(newSize.QuadPart));
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
  return S_OK;
}

HRESULT MemoryStream::Stat(STATSTG* stat, DWORD) {
  if (!stat) return STG_E_INVALIDPOINTER;
  stat->cbSize.QuadPart = bytes_->size();
  return S_OK;
}

}  // namespace vorn_store
