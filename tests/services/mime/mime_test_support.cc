#include "tests/services/mime/mime_test_support.h"

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/runtime.h"
#include "tests/support/temp_root.h"

namespace mime_test {

HRESULT TextStream::QueryInterface(REFIID riid, void** ppv) {
  return QueryInterfaceFrom(
      {{IID_IUnknown, this}, {IID_ISequentialStream, this}, {IID_IStream, this}}, riid, ppv);
}

ULONG TextStream::Release() {
  return refs_.Release([this] { delete this; });
}

HRESULT TextStream::Read(void* pv, ULONG cb, ULONG* pcbRead) {
  if (pcbRead) *pcbRead = 0;
  size_t left = position_ < text_.size() ? text_.size() - position_ : 0;
  size_t n = std::min<size_t>({cb, left, chunk_});
  if (position_ + n > failAfter_) {
    n = failAfter_ > position_ ? failAfter_ - position_ : 0;
    if (n == 0) return STG_E_READFAULT;
  }
  std::memcpy(pv, text_.data() + position_, n);
  position_ += n;
  if (pcbRead) *pcbRead = static_cast<ULONG>(n);
  return S_OK;
}

HRESULT TextStream::Write(const void* pv, ULONG cb, ULONG* pcbWritten) {
  size_t n = std::min<size_t>(cb, chunk_);
  if (position_ > text_.size()) text_.resize(position_);
  text_.replace(position_, std::min(n, text_.size() - position_),
                static_cast<const char*>(pv), n);
  position_ += n;
  if (pcbWritten) *pcbWritten = static_cast<ULONG>(n);
  return S_OK;
}

HRESULT TextStream::Seek(LARGE_INTEGER move, DWORD origin, ULARGE_INTEGER* newPosition) {
  long long base = origin == STREAM_SEEK_SET   ? 0
                   : origin == STREAM_SEEK_CUR ? static_cast<long long>(position_)
                                               : static_cast<long long>(text_.size());
  if (base + move.QuadPart < 0) return STG_E_INVALIDFUNCTION;
  position_ = static_cast<size_t>(base + move.QuadPart);
  if (newPosition) newPosition->QuadPart = position_;
  return S_OK;
}

HRESULT TextStream::SetSize(ULARGE_INTEGER newSize) {
  text_.resize(static_cast<size_t>(newSize.QuadPart));
  return S_OK;
}

HRESULT TextStream::Stat(STATSTG* stat, DWORD) {
  if (failStat_) return E_NOTIMPL;
  stat->cbSize.QuadPart = text_.size();
  return S_OK;
}

ComPtr<IStream> StreamOf(const std::string& text) {
  return ComPtr<IStream>::Adopt(new TextStream(text));
}

std::string ReadAll(IStream* stream, ULONG chunk) {
  std::string out;
  std::string buffer(chunk, '\0');
  for (;;) {
    ULONG got = 0;
    if (FAILED(stream->Read(buffer.data(), chunk, &got)) || got == 0) break;
    out.append(buffer.data(), got);
  }
  return out;
}

std::string DataFile(const std::string& name) {
  std::ifstream in(vorn_test::SourceDir() + "/tests/data/mime/" + name, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

std::vector<std::string> DataFiles(const std::string& suffix) {
  std::vector<std::string> names;
  for (const auto& entry :
       std::filesystem::directory_iterator(vorn_test::SourceDir() + "/tests/data/mime")) {
    std::string name = entry.path().filename().string();
    if (name.size() > suffix.size() &&
        name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0) {
      names.push_back(name);
    }
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::string Utf16ToUtf8(const char16_t* units, size_t count) {
  std::string out;
  for (size_t i = 0; i < count; ++i) {
    char32_t c = units[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < count && units[i + 1] >= 0xDC00 &&
        units[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (units[i + 1] - 0xDC00);
      ++i;
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      c = 0xFFFD;
    }
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += static_cast<char>(0xE0 | (c >> 12));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (c >> 18));
      out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

ReaderView ReadLikeReader(IMimeMessage* message) {
  ReaderView view;
  HBODY root = HBODY_NULL;
  if (FAILED(message->GetBody(IBL_ROOT, HBODY_NULL, &root))) return view;

  PROPVARIANT type;
  PropVariantInit(&type);
  type.vt = VT_LPSTR;
  if (SUCCEEDED(message->GetBodyProp(root, PIDTOSTR(PID_HDR_CNTTYPE), 0, &type))) {
    view.contentType = type.pszVal;
    std::transform(view.contentType.begin(), view.contentType.end(), view.contentType.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    PropVariantClear(&type);
  }
  bool text = view.contentType.rfind("text", 0) == 0;

  ComPtr<IMimeBody> body;
  if (SUCCEEDED(message->BindToObject(root, IID_IMimeBody, body.PutVoid()))) {
    ComPtr<IStream> data;
    if (SUCCEEDED(body->GetData(IET_UNICODE, data.Put()))) {
      for (;;) {
        char16_t units[2048];
        char bytes[2048];
        ULONG got = 0;
        HRESULT hr = text ? data->Read(units, 4094, &got) : data->Read(bytes, 2047, &got);
        if (FAILED(hr) || got == 0) break;
        if (text) {
          units[got / 2] = 0;
          size_t n = 0;
          while (units[n] != 0) ++n;
          view.body += Utf16ToUtf8(units, n);
        } else {
          bytes[got] = 0;
          view.body += bytes;
        }
      }
    }
  }

  ULONG count = 0;
  HBODY* handles = nullptr;
  if (SUCCEEDED(message->GetAttachments(&count, &handles))) {
    for (ULONG i = 0; i < count; ++i) {
      if (message->IsBodyType(handles[i], IBT_ATTACHMENT) != S_OK) continue;
      ComPtr<IMimeBody> part;
      if (FAILED(message->BindToObject(handles[i], IID_IMimeBody, part.PutVoid()))) continue;
      LPSTR name = nullptr;
      if (FAILED(part->GetDisplayName(&name))) continue;
      view.attachments.push_back(name);
      CoTaskMemFree(name);
    }
    CoTaskMemFree(handles);
  }
  return view;
}

std::string RootProp(IMimeMessage* message, const char* name, DWORD flags) {
  HBODY root = HBODY_NULL;
  message->GetBody(IBL_ROOT, HBODY_NULL, &root);
  ComPtr<IMimePropertySet> props;
  if (FAILED(message->BindToObject(root, IID_IMimePropertySet, props.PutVoid()))) {
    return "(failed)";
  }
  PROPVARIANT value;
  PropVariantInit(&value);
  value.vt = VT_LPSTR;
  HRESULT hr = props->GetProp(name, flags, &value);
  if (hr == MIME_E_NOT_FOUND) return "(absent)";
  if (FAILED(hr)) return "(failed)";
  std::string text = value.pszVal;
  PropVariantClear(&value);
  return text;
}

}  // namespace mime_test
