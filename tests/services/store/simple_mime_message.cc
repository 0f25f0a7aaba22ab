#include "tests/services/store/simple_mime_message.h"

#include <cctype>
#include <cstring>
#include <mutex>
#include <stdexcept>

#include "platform/runtime.h"
#include "runtime/com_ptr.h"
#include "runtime/unknown_impl.h"

namespace store_test {
namespace {

struct SharedState {
  std::mutex mutex;
  std::vector<std::string> calls;
  int creations = 0;
  bool failLoads = false;
};

SharedState& State() {
  static SharedState state;
  return state;
}

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

std::string Trim(const std::string& text) {
  size_t first = text.find_first_not_of(" \t\r\n");
  if (first == std::string::npos) return {};
  size_t last = text.find_last_not_of(" \t\r\n");
  return text.substr(first, last - first + 1);
}

LPSTR TaskString(const std::string& text) {
  auto* copy = static_cast<LPSTR>(CoTaskMemAlloc(text.size() + 1));
  std::memcpy(copy, text.c_str(), text.size() + 1);
  return copy;
}

std::string DisplayNames(const std::string& value) {
  std::string joined;
  size_t start = 0;
  while (start <= value.size()) {
    size_t comma = value.find(',', start);
    std::string mailbox = Trim(value.substr(start, comma == std::string::npos ? comma : comma - start));
    std::string shown = mailbox;
    size_t angle = mailbox.find('<');
    if (angle != std::string::npos) {
      std::string name = Trim(mailbox.substr(0, angle));
      if (name.size() >= 2 && name.front() == '"' && name.back() == '"') {
        name = name.substr(1, name.size() - 2);
      }
      size_t close = mailbox.find('>', angle);
      shown = !name.empty() ? name : mailbox.substr(angle + 1, close - angle - 1);
    }
    if (!shown.empty()) {
      if (!joined.empty()) joined += "; ";
      joined += shown;
    }
    if (comma == std::string::npos) break;
    start = comma + 1;
  }
  return joined;
}

class SimpleMessage final : public IMimeMessage,
                            public IPersistStreamInit,
                            public IMimePropertySet {
 public:
  HRESULT QueryInterface(REFIID riid, void** ppv) override {
    IMimeMessage* message = this;
    IPersistStreamInit* persist = this;
    return QueryInterfaceFrom({{IID_IUnknown, message},
                               {IID_IMimeMessage, message},
                               {IID_IPersistStreamInit, persist},
                               {IID_IPersist, persist},
                               {IID_IMimePropertySet, static_cast<IMimePropertySet*>(this)}},
                              riid, ppv);
  }
  ULONG AddRef() override { return refs_.AddRef(); }
  ULONG Release() override { return refs_.Release([this] { delete this; }); }

  // IPersistStreamInit
  HRESULT GetClassID(CLSID* clsid) override {
    *clsid = CLSID_SimpleMimeMessage;
    return S_OK;
  }
  HRESULT IsDirty() override { return S_FALSE; }
  HRESULT Load(IStream* stream) override {
    {
      std::lock_guard lock(State().mutex);
      if (State().failLoads) return E_FAIL;
    }
    std::string text;
    char buffer[512];
    ULONG got = 0;
    do {
      if (FAILED(stream->Read(buffer, sizeof(buffer), &got))) return E_FAIL;
      text.append(buffer, got);
    } while (got > 0);
    size_t start = 0;
    while (start < text.size()) {
      size_t end = text.find('\n', start);
      std::string line = text.substr(start, end == std::string::npos ? end : end - start);
      if (!line.empty() && line.back() == '\r') line.pop_back();
      if (line.empty()) break;
      size_t colon = line.find(':');
      if (colon != std::string::npos) {
        fields_.push_back({Lower(line.substr(0, colon)), Trim(line.substr(colon + 1))});
      }
      if (end == std::string::npos) break;
      start = end + 1;
    }
    return S_OK;
  }
  HRESULT Save(IStream*, BOOL) override { return E_NOTIMPL; }
  HRESULT GetSizeMax(ULARGE_INTEGER*) override { return E_NOTIMPL; }
  HRESULT InitNew() override { return S_OK; }

  // IMimePropertySet
  HRESULT GetProp(LPCSTR name, DWORD flags, LPPROPVARIANT value) override {
    std::string key = ISPIDSTR(name) ? "#" + std::to_string(reinterpret_cast<uintptr_t>(name))
                                     : std::string(name);
    {
      std::lock_guard lock(State().mutex);
      State().calls.push_back("GetProp " + key + " " + std::to_string(flags) + " " +
                              std::to_string(value->vt));
    }
    if (key == PIDSTR_MAIN_CHARSET) {
      const std::string* type = Find("content-type");
      std::string charset;
      if (type) {
        size_t at = Lower(*type).find("charset=");
        if (at != std::string::npos) charset = Lower(Trim(type->substr(at + 8)));
      }
      value->vt = VT_LPSTR;
      value->pszVal = TaskString(charset);
      return S_OK;
    }
    const std::string* field = Find(Lower(key));
    if (!field) return MIME_E_NOT_FOUND;
    if (value->vt == VT_FILETIME) {
      if (field->empty() || field->find_first_not_of("0123456789") != std::string::npos) {
        return E_INVALIDARG;
      }
      uint64_t ticks = std::stoull(*field);
      value->filetime.dwLowDateTime = static_cast<DWORD>(ticks);
      value->filetime.dwHighDateTime = static_cast<DWORD>(ticks >> 32);
      return S_OK;
    }
    value->vt = VT_LPSTR;
    value->pszVal = TaskString(flags & PDF_DISPLAYNAMES ? DisplayNames(*field) : *field);
    return S_OK;
  }

  // IMimeMessage
  HRESULT GetBody(BODYLOCATION location, HBODY, LPHBODY body) override {
    if (location != IBL_ROOT) return MIME_E_NOT_FOUND;
    *body = 1;
    return S_OK;
  }
  HRESULT BindToObject(HBODY body, REFIID riid, void** object) override {
    if (body != 1) return MIME_E_INVALID_HANDLE;
    return QueryInterface(riid, object);
  }
  HRESULT GetBodyProp(HBODY, LPCSTR name, DWORD flags, LPPROPVARIANT value) override {
    return GetProp(name, flags, value);
  }
  HRESULT GetAttachments(ULONG* count, LPHBODY* bodies) override {
    const std::string* field = Find("x-test-attachments");
    *count = field ? static_cast<ULONG>(std::stoul(*field)) : 0;
    *bodies = nullptr;
    if (*count > 0) {
      *bodies = static_cast<LPHBODY>(CoTaskMemAlloc(sizeof(HBODY) * *count));
      for (ULONG i = 0; i < *count; ++i) (*bodies)[i] = 2 + i;
    }
    return S_OK;
  }
  HRESULT IsBodyType(HBODY body, IMSGBODYTYPE type) override {
    return body >= 2 && type == IBT_ATTACHMENT ? S_OK : S_FALSE;
  }

 private:
  ~SimpleMessage() = default;

  const std::string* Find(const std::string& lowerName) const {
    for (const auto& [name, value] : fields_) {
      if (name == lowerName) return &value;
    }
    return nullptr;
  }

  RefCount<> refs_;
  std::vector<std::pair<std::string, std::string>> fields_;
};

class SimpleFactory final : public IClassFactory {
 public:
  HRESULT QueryInterface(REFIID riid, void** ppv) override {
    return QueryInterfaceAs<IClassFactory>(this, riid, ppv);
  }
  ULONG AddRef() override { return 2; }
  ULONG Release() override { return 1; }
  HRESULT CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override {
    *ppv = nullptr;
    if (outer) return CLASS_E_NOAGGREGATION;
    {
      std::lock_guard lock(State().mutex);
      ++State().creations;
    }
    auto* message = new SimpleMessage();
    HRESULT hr = message->QueryInterface(riid, ppv);
    message->Release();
    return hr;
  }
  HRESULT LockServer(BOOL) override { return S_OK; }
};

SimpleFactory g_factory;

}  // namespace

SimpleMimeRegistration::SimpleMimeRegistration() {
  {
    std::lock_guard lock(State().mutex);
    State().calls.clear();
    State().creations = 0;
    State().failLoads = false;
  }
  DWORD cookie = 0;
  if (FAILED(CoRegisterClassObject(CLSID_SimpleMimeMessage, &g_factory, CLSCTX_INPROC_SERVER,
                                   REGCLS_MULTIPLEUSE, &cookie))) {
    throw std::runtime_error("cannot register the stand-in MIME message class");
  }
  cookie_ = cookie;
}

SimpleMimeRegistration::~SimpleMimeRegistration() { CoRevokeClassObject(cookie_); }

std::vector<std::string> SimpleMimeRegistration::calls() const {
  std::lock_guard lock(State().mutex);
  return State().calls;
}

int SimpleMimeRegistration::creations() const {
  std::lock_guard lock(State().mutex);
  return State().creations;
}

void SimpleMimeRegistration::set_fail_loads(bool fail) {
  std::lock_guard lock(State().mutex);
  State().failLoads = fail;
}

}  // namespace store_test
