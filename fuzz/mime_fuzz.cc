// Fuzz target of the MIME library: any bytes as a message, read through
// every call the body reader and the store server make.

#include <algorithm>
#include <cstring>
#include <string>

#include "platform/mime.h"
#include "platform/runtime.h"
#include "runtime/com_ptr.h"
#include "runtime/unknown_impl.h"
#include "services/mime/mime_objects.h"

namespace {

// A read-only stream over the fuzzer's bytes.
class InputStream final : public IStream {
 public:
  InputStream(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  HRESULT QueryInterface(REFIID riid, void** ppv) override {
    return QueryInterfaceFrom(
        {{IID_IUnknown, this}, {IID_ISequentialStream, this}, {IID_IStream, this}}, riid, ppv);
  }
  ULONG AddRef() override { return 1; }
  ULONG Release() override { return 1; }
  HRESULT Read(void* pv, ULONG cb, ULONG* pcbRead) override {
    size_t n = std::min<size_t>(cb, size_ - position_);
    std::memcpy(pv, data_ + position_, n);
    position_ += n;
    if (pcbRead) *pcbRead = static_cast<ULONG>(n);
    return S_OK;
  }
  HRESULT Write(const void*, ULONG, ULONG*) override { return STG_E_ACCESSDENIED; }
  HRESULT Seek(LARGE_INTEGER, DWORD, ULARGE_INTEGER*) override { return STG_E_INVALIDFUNCTION; }
  HRESULT SetSize(ULARGE_INTEGER) override { return STG_E_ACCESSDENIED; }
  HRESULT Stat(STATSTG* stat, DWORD) override {
    stat->cbSize.QuadPart = size_;
    return S_OK;
  }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t position_ = 0;
};

void Drain(IMimeBody* body, ENCODINGTYPE encoding, ULONG chunk) {
  ComPtr<IStream> data;
  if (FAILED(body->GetData(encoding, data.Put()))) return;
  char buffer[4096];
  ULONG got = 0;
  while (SUCCEEDED(data->Read(buffer, chunk, &got)) && got > 0) {
  }
}

void ReadProps(IMimeMessage* message, HBODY body) {
  ComPtr<IMimePropertySet> props;
  if (FAILED(message->BindToObject(body, IID_IMimePropertySet, props.PutVoid()))) return;
  struct Field {
    LPCSTR name;
    DWORD flags;
    VARTYPE vt;
  } fields[] = {
      {"Subject", 0, VT_LPSTR},
      {"From", PDF_DISPLAYNAMES, VT_LPSTR},
      {"To", PDF_ADDRESSES, VT_LPSTR},
      {"To", PDF_DISPLAYNAMES, VT_LPSTR},
      {"Date", 0, VT_FILETIME},
      {"X-Priority", 0, VT_LPSTR},
      {"Importance", 0, VT_LPSTR},
      {PIDSTR_MAIN_CHARSET, 0, VT_LPSTR},
  };
  for (const Field& field : fields) {
    PROPVARIANT value;
    PropVariantInit(&value);
    value.vt = field.vt;
    if (SUCCEEDED(props->GetProp(field.name, field.flags, &value))) PropVariantClear(&value);
  }
  PROPVARIANT type;
  PropVariantInit(&type);
  type.vt = VT_LPSTR;
  if (SUCCEEDED(message->GetBodyProp(body, PIDTOSTR(PID_HDR_CNTTYPE), 0, &type))) {
    PropVariantClear(&type);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  ComPtr<IMimeMessage> message;
  if (FAILED(vorn_mime::CreateMimeMessage(IID_IMimeMessage, message.PutVoid()))) return 0;
  ComPtr<IPersistStreamInit> persist;
  if (FAILED(message.As(&persist))) return 0;
  InputStream input(data, size);
  if (FAILED(persist->Load(&input))) return 0;

  HBODY root = HBODY_NULL;
  if (FAILED(message->GetBody(IBL_ROOT, HBODY_NULL, &root))) return 0;
  ReadProps(message.Get(), root);
  ComPtr<IMimeBody> body;
  if (SUCCEEDED(message->BindToObject(root, IID_IMimeBody, body.PutVoid()))) {
    Drain(body.Get(), IET_UNICODE, 4094);
    Drain(body.Get(), IET_UNICODE, 2047);
  }

  ULONG count = 0;
  HBODY* bodies = nullptr;
  if (SUCCEEDED(message->GetAttachments(&count, &bodies))) {
    for (ULONG i = 0; i < count; ++i) {
      message->IsBodyType(bodies[i], IBT_ATTACHMENT);
      ComPtr<IMimeBody> part;
      if (FAILED(message->BindToObject(bodies[i], IID_IMimeBody, part.PutVoid()))) continue;
      LPSTR name = nullptr;
      if (SUCCEEDED(part->GetDisplayName(&name))) CoTaskMemFree(name);
      if (i < 8) {
        Drain(part.Get(), IET_DECODED, 4096);
        ReadProps(message.Get(), bodies[i]);
      }
    }
    CoTaskMemFree(bodies);
  }
  return 0;
}
