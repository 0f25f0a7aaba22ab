// Streams over bytes in memory: the raw text of a stored message (read only)
// and the buffer a new message is written into (CreateStream).
#pragma once

#include <memory>
#include <string>

#include "platform/store.h"
#include "runtime/unknown_impl.h"
#include "services/store/module_state.h"
#include "services/store/store_db.h"

namespace vorn_store {

// What a stream from CreateStream was made for: the store, folder and
// reserved identifier it commits to, and whether it has been committed.
struct Reservation {
  std::string storePath;
  STOREFOLDERID folder = 0;
  MESSAGEID id = 0;
  std::shared_ptr<BatchState> batch;  // the batch it was reserved under, if any
  bool committed = false;
};

class MemoryStream final : public IStream {
 public:
  // A read-only stream over `bytes`, positioned at the start (caller owns
  // the new reference in *stream).
  static HRESULT CreateReader(std::shared_ptr<const std::string> bytes, IStream** stream);
  // An empty writable stream for a new message.
  static HRESULT CreateWriter(Reservation reservation, IStream** stream);
  // The store's own stream behind `stream`, or null for any other stream.
  // Borrowed: valid while the caller holds `stream`.
  static MemoryStream* FromStream(IStream* stream);

  // What has been written (writers) or the bytes read from (readers).
  const std::string& bytes() const { return *bytes_; }
  // Null for a reader.
  Reservation* reservation() { return reservation_.get(); }

  HRESULT QueryInterface(REFIID riid, void** ppv) override;
  ULONG AddRef() override;
  ULONG Release() override;
  HRESULT Read(void* pv, ULONG cb, ULONG* pcbRead) override;
  HRESULT Write(const void* pv, ULONG cb, ULONG* pcbWritten) override;
  HRESULT Seek(LARGE_INTEGER move, DWORD origin, ULARGE_INTEGER* newPosition) override;
  HRESULT SetSize(ULARGE_INTEGER newSize) override;
  HRESULT Stat(STATSTG* stat, DWORD flags) override;

 private:
  MemoryStream(std::shared_ptr<const std::string> readOnly, std::shared_ptr<std::string> writable,
               std::unique_ptr<Reservation> reservation);
  ~MemoryStream();

  ModuleReference moduleReference_;
  RefCount<> references_;
  std::shared_ptr<const std::string> bytes_;
  std::shared_ptr<std::string> writable_;  // null for a reader
  std::unique_ptr<Reservation> reservation_;
  uint64_t position_ = 0;
};

}  // namespace vorn_store
