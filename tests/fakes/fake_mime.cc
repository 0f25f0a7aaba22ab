#include "tests/fakes/fake_mime.h"

#include <strings.h>

#include <algorithm>
#include <cctype>
#include <cstring>

#include "platform/runtime.h"
#include "tests/fakes/hand_out.h"

namespace vorn_fakes {

FakeBody& FakeBody::SetText(std::u16string_view text) {
  data.clear();
  for (char16_t unit : text) {
    data.push_back(static_cast<char>(unit & 0xFF));
    data.push_back(static_cast<char>(unit >> 8));
  }
  return *this;
}

FakeBody& FakeMimeMessage::AddBody(HBODY parent) {
  FakeBody body;
  body.handle = 0x10001u + 0x10u * static_cast<HBODY>(bodies.size());
  body.parent = parent;
  bodies.push_back(std::move(body));
  if (parent == HBODY_NULL && root == HBODY_NULL) root = bodies.back().handle;
  return bodies.back();
}

FakeBody* FakeMimeMessage::Body(HBODY handle) {
  if (handle == HBODY_NULL) return nullptr;
  for (FakeBody& body : bodies) {
    if (body.handle == handle) return &body;
  }
  return nullptr;
}

const FakeBody* FakeMimeMessage::Body(HBODY handle) const {
  return const_cast<FakeMimeMessage*>(this)->Body(handle);
}

std::shared_ptr<FakeMimeMessage> MakeTextMessage(std::u16string_view text,
                                                 const std::vector<std::string>& attachmentNames,
                                                 std::string contentType) {
  auto message = std::make_shared<FakeMimeMessage>();
  message->AddBody().SetText(text).contentType = std::move(contentType);
  HBODY root = message->root;
  for (const std::string& name : attachmentNames) {
    FakeBody& body = message->AddBody(root);
    body.contentType = "application/octet-stream";
    body.isAttachment = S_OK;
    body.displayName = name;
    body.data = "attachment " + name;
  }
  return message;
}

std::u16string Utf16FromUtf8(std::string_view text) {
  std::u16string out;
  size_t i = 0;
  while (i < text.size()) {
    auto byte = [&](size_t k) { return static_cast<unsigned char>(text[k]); };
    unsigned char lead = byte(i);
    char32_t code = 0xFFFD;
    size_t length = 1;
    if (lead < 0x80) {
      code = lead;
    } else if (lead >= 0xC2 && lead <= 0xF4) {
      size_t need = lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
      char32_t value = lead & (need == 2 ? 0x1F : need == 3 ? 0x0F : 0x07);
      size_t k = 1;
      for (; k < need && i + k < text.size() && (byte(i + k) & 0xC0) == 0x80; ++k) {
        value = (value << 6) | (byte(i + k) & 0x3F);
      }
      length = k;
      bool overlong = (need == 3 && value < 0x800) || (need == 4 && value < 0x10000);
      if (k == need && !overlong && value <= 0x10FFFF && !(value >= 0xD800 && value <= 0xDFFF)) {
        code = value;
      }
    }
    if (code >= 0x10000) {
      code -= 0x10000;
      out.push_back(static_cast<char16_t>(0xD800 + (code >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + (code & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(code));
    }
    i += length;
  }
  return out;
}

std::shared_ptr<FakeMimeMessage> MakeMessageFromRaw(std::string_view raw) {
  auto message = std::make_shared<FakeMimeMessage>();
  FakeBody& root = message->AddBody();
  root.contentType = "text/plain";
  size_t pos = 0;
  while (pos < raw.size()) {
    size_t end = raw.find('\n', pos);
    if (end == std::string_view::npos) end = raw.size();
    std::string line(raw.substr(pos, end - pos));
    pos = end + 1;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty()) break;
    size_t colon = line.find(':');
    if (colon == std::string::npos) continue;
    std::string name = line.substr(0, colon);
    std::string value = line.substr(colon + 1);
    value.erase(0, value.find_first_not_of(" \t"));
    if (strcasecmp(name.c_str(), "Content-Type") == 0) {
      std::string type = value.substr(0, value.find(';'));
      type.erase(type.find_last_not_of(" \t") + 1);
      for (char& c : type) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
      if (!type.empty()) root.contentType = type;
    }
    root.headers.emplace(name, value);
  }
  root.SetText(Utf16FromUtf8(pos < raw.size() ? raw.substr(pos) : std::string_view()));
  return message;
}

namespace {

char* TaskString(const std::string& text) {
  char* copy = static_cast<char*>(CoTaskMemAlloc(text.size() + 1));
  if (copy) std::memcpy(copy, text.c_str(), text.size() + 1);
  return copy;
}

CallArg NameArg(LPCSTR name) {
  if (name && ISPIDSTR(name)) {
    return CallArg::Text("name", "pid:" + std::to_string(reinterpret_cast<uintptr_t>(name)));
  }
  return CallArg::Str("name", name);
}

// Reads a header property of `body` as GetBodyProp and GetProp do.
HRESULT ReadProp(const FakeBody& body, LPCSTR name, LPPROPVARIANT value) {
  if (!value) return E_INVALIDARG;
  if (!name) return E_INVALIDARG;
  if (ISPIDSTR(name) && reinterpret_cast<uintptr_t>(name) == PID_HDR_CNTTYPE) {
    if (FAILED(body.contentTypeStatus)) return body.contentTypeStatus;
    if (value->vt != VT_LPSTR) return E_INVALIDARG;
    LPSTR text = nullptr;
    if (body.contentType) {
      text = TaskString(*body.contentType);
      if (!text) return E_OUTOFMEMORY;
    }
    value->vt = VT_LPSTR;
    value->pszVal = text;
    return S_OK;
  }
  if (ISPIDSTR(name)) return MIME_E_NOT_FOUND;
  for (const auto& [field, text] : body.headers) {
    if (strcasecmp(field.c_str(), name) != 0) continue;
    if (value->vt != VT_LPSTR) return E_INVALIDARG;
    LPSTR copy = TaskString(text);
    if (!copy) return E_OUTOFMEMORY;
    value->vt = VT_LPSTR;
    value->pszVal = copy;
    return S_OK;
  }
  return MIME_E_NOT_FOUND;
}

class FakeMimeBodyObject final : public IMimeBody, public FakeObject {
 public:
  FakeMimeBodyObject(FakeEnv& env, FakeMimeModel* model, std::shared_ptr<FakeMimeMessage> message,
                     HBODY handle)
      : FakeObject(env, "MimeBody"), model_(model), message_(std::move(message)), handle_(handle) {}

  HRESULT QueryInterface(REFIID riid, void** ppv) override {
    return QueryFor(static_cast<IMimeBody*>(this), {IID_IMimeBody}, riid, ppv);
  }
  ULONG AddRef() override { return AddRefImpl(); }
  ULONG Release() override { return ReleaseImpl(); }

  HRESULT GetDisplayName(LPSTR* name) override {
    CallScope call = Begin("GetDisplayName", {CallArg::Ptr("name", name)});
    if (!name) return Done(call, E_POINTER);
    *name = nullptr;
    if (call.dead) return Done(call, E_UNEXPECTED);
    if (call.fault) return Done(call, *call.fault);
    const FakeBody* body = message_->Body(handle_);
    if (!body) return Done(call, MIME_E_INVALID_HANDLE);
    if (FAILED(body->displayNameStatus)) return Done(call, body->displayNameStatus);
    if (body->displayName) {
      *name = TaskString(*body->displayName);
      if (!*name) return Done(call, E_OUTOFMEMORY);
    }
    return Done(call, body->displayNameStatus);
  }

  HRESULT GetData(ENCODINGTYPE encoding, IStream** stream) override {
    CallScope call =
        Begin("GetData", {CallArg::Num("encoding", encoding), CallArg::Ptr("stream", stream)});
    if (!stream) return Done(call, E_POINTER);
    *stream = nullptr;
    if (call.dead) return Done(call, E_UNEXPECTED);
    if (call.fault) return Done(call, *call.fault);
    const FakeBody* body = message_->Body(handle_);
    if (!body) return Done(call, MIME_E_INVALID_HANDLE);
    if (FAILED(body->dataStatus)) return Done(call, body->dataStatus);
    auto* object = env().Make<ScriptedStream>("DataStream", body->data, body->reads, false);
    HRESULT hr = HandOut<IStream>(object, model_->wrapDataStream, IID_IStream,
                                  reinterpret_cast<void**>(stream));
    return Done(call, FAILED(hr) ? hr : body->dataStatus);
  }

 private:
  FakeMimeModel* model_;
  std::shared_ptr<FakeMimeMessage> message_;
  HBODY handle_;
};

class FakeMimePropertySetObject final : public IMimePropertySet, public FakeObject {
 public:
  FakeMimePropertySetObject(FakeEnv& env, std::shared_ptr<FakeMimeMessage> message, HBODY handle)
      : FakeObject(env, "MimePropertySet"), message_(std::move(message)), handle_(handle) {}

  HRESULT QueryInterface(REFIID riid, void** ppv) override {
    return QueryFor(static_cast<IMimePropertySet*>(this), {IID_IMimePropertySet}, riid, ppv);
  }
  ULONG AddRef() override { return AddRefImpl(); }
  ULONG Release() override { return ReleaseImpl(); }

  HRESULT GetProp(LPCSTR name, DWORD flags, LPPROPVARIANT value) override {
    CallScope call =
        Begin("GetProp", {NameArg(name), CallArg::Num("flags", flags),
                          value ? CallArg::Num("vt", value->vt) : CallArg::Ptr("value", nullptr)});
    if (call.dead) return Done(call, E_UNEXPECTED);
    if (call.fault) return Done(call, *call.fault);
    const FakeBody* body = message_->Body(handle_);
    if (!body) return Done(call, MIME_E_INVALID_HANDLE);
    return Done(call, ReadProp(*body, name, value));
  }

 private:
  std::shared_ptr<FakeMimeMessage> message_;
  HBODY handle_;
};

class FakeMimeMessageObject final : public IMimeMessage, public FakeObject {
 public:
  FakeMimeMessageObject(FakeEnv& env, FakeMimeModel* model,
                        std::shared_ptr<FakeMimeMessage> message)
      : FakeObject(env, "MimeMessage"), model_(model), message_(std::move(message)) {}

  HRESULT QueryInterface(REFIID riid, void** ppv) override {
    return QueryFor(static_cast<IMimeMessage*>(this), {IID_IMimeMessage}, riid, ppv);
  }
  ULONG AddRef() override { return AddRefImpl(); }
  ULONG Release() override { return ReleaseImpl(); }

  HRESULT GetBody(BODYLOCATION location, HBODY pivot, LPHBODY body) override {
    CallScope call = Begin("GetBody", {CallArg::Num("location", location),
                                       CallArg::Num("pivot", pivot), CallArg::Ptr("body", body)});
    if (!body) return Done(call, E_POINTER);
    *body = HBODY_NULL;
    if (call.dead) return Done(call, E_UNEXPECTED);
    if (call.fault) return Done(call, *call.fault);
    const FakeMimeMessage& m = *message_;
    if (location == IBL_ROOT) {
      if (FAILED(m.rootStatus)) return Done(call, m.rootStatus);
      if (m.root == HBODY_NULL) return Done(call, MIME_E_NOT_FOUND);
      *body = m.root;
      return Done(call, S_OK);
    }
    const FakeBody* from = m.Body(pivot);
    if (!from) return Done(call, MIME_E_INVALID_HANDLE);
    std::vector<HBODY> siblings;
    HBODY found = HBODY_NULL;
    switch (location) {
      case IBL_PARENT:
        found = from->parent;
        break;
      case IBL_FIRST:
      case IBL_LAST:
        for (const FakeBody& b : m.bodies) {
          if (b.parent == pivot) siblings.push_back(b.handle);
        }
        if (!siblings.empty()) found = location == IBL_FIRST ? siblings.front() : siblings.back();
        break;
      case IBL_NEXT:
      case IBL_PREVIOUS: {
        for (const FakeBody& b : m.bodies) {
          if (b.parent == from->parent) siblings.push_back(b.handle);
        }
        auto it = std::find(siblings.begin(), siblings.end(), pivot);
        if (location == IBL_NEXT && it + 1 < siblings.end()) found = *(it + 1);
        if (location == IBL_PREVIOUS && it != siblings.begin()) found = *(it - 1);
        break;
      }
      default:
        return Done(call, E_INVALIDARG);
    }
    if (found == HBODY_NULL) return Done(call, MIME_E_NOT_FOUND);
    *body = found;
    return Done(call, S_OK);
  }

  HRESULT BindToObject(HBODY handle, REFIID riid, void** object) override {
    CallScope call =
        Begin("BindToObject", {CallArg::Num("body", handle), CallArg::Guid("riid", &riid),
                               CallArg::Ptr("object", object)});
    if (!object) return Done(call, E_POINTER);
    *object = nullptr;
    if (call.dead) return Done(call, E_UNEXPECTED);
    if (call.fault) return Done(call, *call.fault);
    const FakeBody* body = message_->Body(handle);
    if (!body) return Done(call, MIME_E_INVALID_HANDLE);
    if (riid == IID_IMimeBody) {
      if (FAILED(body->bindBodyStatus)) return Done(call, body->bindBodyStatus);
      auto* made = env().Make<FakeMimeBodyObject>(model_, message_, handle);
      return Done(call, HandOut<IMimeBody>(made, model_->wrapBody, riid, object));
    }
    if (riid == IID_IMimePropertySet) {
      if (FAILED(body->bindPropertySetStatus)) return Done(call, body->bindPropertySetStatus);
      auto* made = env().Make<FakeMimePropertySetObject>(message_, handle);
      return Done(call, HandOut<IMimePropertySet>(made, model_->wrapPropertySet, riid, object));
    }
    return Done(call, E_NOINTERFACE);
  }

  HRESULT GetBodyProp(HBODY handle, LPCSTR name, DWORD flags, LPPROPVARIANT value) override {
    CallScope call = Begin(
        "GetBodyProp", {CallArg::Num("body", handle), NameArg(name), CallArg::Num("flags", flags),
                        value ? CallArg::Num("vt", value->vt) : CallArg::Ptr("value", nullptr)});
    if (call.dead) return Done(call, E_UNEXPECTED);
    if (call.fault) return Done(call, *call.fault);
    const FakeBody* body = message_->Body(handle);
    if (!body) return Done(call, MIME_E_INVALID_HANDLE);
    return Done(call, ReadProp(*body, name, value));
  }

  HRESULT GetAttachments(ULONG* count, LPHBODY* bodies) override {
    CallScope call =
        Begin("GetAttachments", {CallArg::Ptr("count", count), CallArg::Ptr("bodies", bodies)});
    if (!count || !bodies) return Done(call, E_POINTER);
    *count = 0;
    *bodies = nullptr;
    if (call.dead) return Done(call, E_UNEXPECTED);
    if (call.fault) return Done(call, *call.fault);
    const FakeMimeMessage& m = *message_;
    if (FAILED(m.attachmentsStatus)) return Done(call, m.attachmentsStatus);
    std::vector<HBODY> list;
    if (m.attachments) {
      list = *m.attachments;
    } else {
      for (const FakeBody& b : m.bodies) {
        if (b.isAttachment == S_OK) list.push_back(b.handle);
      }
    }
    ULONG n = m.attachmentCount.value_or(static_cast<ULONG>(list.size()));
    list.resize(n, HBODY_NULL);
    if (n > 0 && !m.nullAttachmentArray) {
      auto* array = static_cast<LPHBODY>(CoTaskMemAlloc(sizeof(HBODY) * n));
      if (!array) return Done(call, E_OUTOFMEMORY);
      std::copy(list.begin(), list.end(), array);
      *bodies = array;
    }
    *count = n;
    return Done(call, m.attachmentsStatus);
  }

  HRESULT IsBodyType(HBODY handle, IMSGBODYTYPE type) override {
    CallScope call =
        Begin("IsBodyType", {CallArg::Num("body", handle), CallArg::Num("type", type)});
    if (call.dead) return Done(call, E_UNEXPECTED);
    if (call.fault) return Done(call, *call.fault);
    const FakeBody* body = message_->Body(handle);
    if (!body) return Done(call, MIME_E_INVALID_HANDLE);
    switch (type) {
      case IBT_ATTACHMENT:
        return Done(call, body->isAttachment);
      case IBT_EMPTY:
        return Done(call, body->data.empty() ? S_OK : S_FALSE);
    }
    return Done(call, S_FALSE);
  }

 private:
  FakeMimeModel* model_;
  std::shared_ptr<FakeMimeMessage> message_;
};

class FakeMimeAllocatorObject final : public IMimeAllocator, public FakeObject {
 public:
  FakeMimeAllocatorObject(FakeEnv& env, FakeMimeModel* model)
      : FakeObject(env, "MimeAllocator"), model_(model) {}

  HRESULT QueryInterface(REFIID riid, void** ppv) override {
    return QueryFor(static_cast<IMimeAllocator*>(this), {IID_IMimeAllocator}, riid, ppv);
  }
  ULONG AddRef() override { return AddRefImpl(); }
  ULONG Release() override { return ReleaseImpl(); }

  void* Alloc(SIZE_T cb) override {
    CallScope call = Begin("Alloc", {CallArg::Num("cb", cb)});
    if (call.dead || call.fault) {
      Done(call, call.dead ? E_UNEXPECTED : *call.fault);
      return nullptr;
    }
    void* block = CoTaskMemAlloc(cb);
    if (block) model_->NoteAlloc();
    Done(call, block ? S_OK : E_OUTOFMEMORY);
    return block;
  }

  void Free(void* pv) override {
    CallScope call = Begin("Free", {CallArg::Ptr("pv", pv)}, false);
    if (pv && !call.dead) model_->NoteFree();
    CoTaskMemFree(pv);
    Done(call, S_OK);
  }

 private:
  FakeMimeModel* model_;
};

}  // namespace

HRESULT FakeMimeModel::OpenMessage(std::shared_ptr<FakeMimeMessage> message, REFIID riid,
                                   void** ppv) {
  if (!ppv) return E_POINTER;
  *ppv = nullptr;
  if (!message) return E_INVALIDARG;
  auto* object = env_.Make<FakeMimeMessageObject>(this, std::move(message));
  return HandOut<IMimeMessage>(object, wrapMessage, riid, ppv);
}

HRESULT FakeMimeModel::CreateAllocator(REFIID riid, void** ppv) {
  if (!ppv) return E_POINTER;
  *ppv = nullptr;
  auto* object = env_.Make<FakeMimeAllocatorObject>(this);
  return object->QueryInterface(riid, ppv);
}

ClassRegistration FakeMimeModel::RegisterAllocator() {
  IClassFactory* factory = MakeClassFactory(
      env_, [this](REFIID riid, void** ppv) { return CreateAllocator(riid, ppv); });
  ComPtr<IClassFactory> hold(factory);
  return ClassRegistration(CLSID_IMimeAllocator, factory);
}

}  // namespace vorn_fakes
