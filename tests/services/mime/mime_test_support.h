// Helpers for the MIME library's tests: an in-memory stream, loading a
// message from text, and reading a message the way the body reader does.
#pragma once

#include <string>
#include <vector>

#include "platform/mime.h"
#include "runtime/com_ptr.h"
#include "runtime/unknown_impl.h"

namespace mime_test {

// A read-write IStream over a string, counting its references so that tests
// can check nothing is leaked.
class TextStream final : public IStream {
 public:
  explicit TextStream(std::string text = std::string()) : text_(std::move(text)) {}

  HRESULT QueryInterface(REFIID riid, void** ppv) override;
  ULONG AddRef() override { return refs_.AddRef(); }
  ULONG Release() override;
  HRESULT Read(void* pv, ULONG cb, ULONG* pcbRead) override;
  HRESULT Write(const void* pv, ULONG cb, ULONG* pcbWritten) override;
  HRESULT Seek(LARGE_INTEGER move, DWORD origin, ULARGE_INTEGER* newPosition) override;
  HRESULT SetSize(ULARGE_INTEGER newSize) override;
  HRESULT Stat(STATSTG* stat, DWORD flags) override;

  const std::string& text() const { return text_; }
  // From the next Read on, reads fail with STG_E_READFAULT after `bytes`
  // more bytes have been delivered.
  void FailReadsAfter(size_t bytes) { failAfter_ = position_ + bytes; }
  // Each Read delivers at most this many bytes.
  void LimitReads(ULONG chunk) { chunk_ = chunk; }
  // Stat fails with E_NOTIMPL, as for a stream that does not know its size.
  void FailStat() { failStat_ = true; }

 private:
  RefCount<ULONG> refs_;
  std::string text_;
  size_t position_ = 0;
  size_t failAfter_ = static_cast<size_t>(-1);
  ULONG chunk_ = 0xFFFFFFFFu;
  bool failStat_ = false;
};

// Creates a new stream holding `text` (caller owns one reference).
ComPtr<IStream> StreamOf(const std::string& text);

// Reads all of `stream` with reads of `chunk` bytes.
std::string ReadAll(IStream* stream, ULONG chunk = 4096);

// The contents of a file of the source tree's tests/data/mime folder.
std::string DataFile(const std::string& name);
std::vector<std::string> DataFiles(const std::string& suffix);

// UTF-16LE units to UTF-8, an unpaired surrogate becoming U+FFFD.
std::string Utf16ToUtf8(const char16_t* units, size_t count);

// What the body reader makes of a message: the root body's content type,
// the body text read in its chunks, and the display names of the bodies that
// GetAttachments lists and IsBodyType confirms.
struct ReaderView {
  std::string contentType;
  std::string body;
  std::vector<std::string> attachments;
};
ReaderView ReadLikeReader(IMimeMessage* message);

// A header field of the root body as VT_LPSTR, "(absent)" when not found,
// "(failed)" on another failure.
std::string RootProp(IMimeMessage* message, const char* name, DWORD flags = 0);

}  // namespace mime_test
