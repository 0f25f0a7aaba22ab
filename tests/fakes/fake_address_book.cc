#include "tests/fakes/fake_address_book.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "tests/fakes/hand_out.h"

namespace vorn_fakes {

WabProp WabProp::String8(ULONG tag, std::string value) {
  WabProp prop;
  prop.tag = tag;
  prop.text = std::move(value);
  return prop;
}

WabProp WabProp::NullString8(ULONG tag) {
  WabProp prop;
  prop.tag = tag;
  prop.nullText = true;
  return prop;
}

WabProp WabProp::Unicode(ULONG tag, std::u16string value) {
  WabProp prop;
  prop.tag = tag;
  prop.wide = std::move(value);
  return prop;
}

WabProp WabProp::Error(ULONG tag, SCODE error) {
  WabProp prop;
  prop.tag = PROP_TAG(PT_ERROR, PROP_ID(tag));
  prop.error = error;
  return prop;
}

WabProp WabProp::Long(ULONG tag, LONG value) {
  WabProp prop;
  prop.tag = tag;
  prop.number = value;
  return prop;
}

WabProp WabProp::Binary(ULONG tag, std::vector<BYTE> value) {
  WabProp prop;
  prop.tag = tag;
  prop.binary = std::move(value);
  return prop;
}

namespace {

std::string HexBytes(const void* data, ULONG cb) {
  static const char digits[] = "0123456789ABCDEF";
  std::string text;
  const auto* bytes = static_cast<const BYTE*>(data);
  for (ULONG i = 0; i < cb && i < 64; ++i) {
    text += digits[bytes[i] >> 4];
    text += digits[bytes[i] & 0xF];
  }
  return text;
}

// Whether a knob's status lets the call hand its out-values out.
bool HandsOut(HRESULT status, bool handOutOnWarning) {
  return status == S_OK || (SUCCEEDED(status) && handOutOnWarning);
}

class FakeMailUserObject final : public IUnknown, public FakeObject {
 public:
  explicit FakeMailUserObject(FakeEnv& env) : FakeObject(env, "MailUser") {}
  HRESULT QueryInterface(REFIID riid, void** ppv) override { return QueryFor(this, {}, riid, ppv); }
  ULONG AddRef() override { return AddRefImpl(); }
  ULONG Release() override { return ReleaseImpl(); }
};

class FakeTableObject final : public IMAPITable, public FakeObject {
 public:
  FakeTableObject(FakeEnv& env, FakeAddressBook* book)
      : FakeObject(env, "MAPITable"), book_(book), rows_(book->rows) {}

  HRESULT QueryInterface(REFIID riid, void** ppv) override {
    return QueryFor(static_cast<IMAPITable*>(this), {IID_IMAPITable}, riid, ppv);
  }
  ULONG AddRef() override { return AddRefImpl(); }
  ULONG Release() override { return ReleaseImpl(); }

  HRESULT GetRowCount(ULONG flags, ULONG* count) override {
    CallScope call =
        Begin("GetRowCount", {CallArg::Num("flags", flags), CallArg::Ptr("count", count)});
    if (!count) return Done(call, MAPI_E_INVALID_PARAMETER);
    *count = 0;
    if (call.dead) return Done(call, E_UNEXPECTED);
    if (call.fault) return Done(call, *call.fault);
    HRESULT status = book_->rowCountStatus;
    if (!HandsOut(status, book_->handOutOnWarning)) return Done(call, status);
    *count = book_->rowCount.value_or(static_cast<ULONG>(rows_.size()));
    return Done(call, status);
  }

  HRESULT QueryRows(LONG rowCount, ULONG flags, LPSRowSet* rows) override {
    CallScope call = Begin("QueryRows", {CallArg::Num("rowCount", static_cast<uint32_t>(rowCount)),
                                         CallArg::Num("flags", flags), CallArg::Ptr("rows", rows)});
    if (!rows) return Done(call, MAPI_E_INVALID_PARAMETER);
    *rows = nullptr;
    if (call.dead) return Done(call, E_UNEXPECTED);
    if (call.fault) return Done(call, *call.fault);
    if (rowCount < 0) return Done(call, MAPI_E_INVALID_PARAMETER);
    HRESULT status = book_->queryRowsStatus;
    if (!HandsOut(status, book_->handOutOnWarning)) return Done(call, status);

    size_t left = rows_.size() - cursor_;
    ULONG n = static_cast<ULONG>(std::min<size_t>(left, static_cast<size_t>(rowCount)));
    auto* set =
        static_cast<LPSRowSet>(book_->Allocate(static_cast<ULONG>(CbNewSRowSet(n)), "rowset"));
    if (!set) return Done(call, MAPI_E_NOT_ENOUGH_MEMORY);
    set->cRows = n;
    SRow* out = &set->aRow[0];
    for (ULONG i = 0; i < n; ++i) {
      size_t index = cursor_ + i;
      if (!FillRow(rows_[index], index, &out[i])) {
        for (ULONG j = 0; j <= i; ++j) FreeQuietly(out[j].lpProps);
        FreeQuietly(set);
        return Done(call, MAPI_E_NOT_ENOUGH_MEMORY);
      }
    }
    cursor_ += n;
    *rows = set;
    return Done(call, status);
  }

 private:
  bool FillRow(const WabRow& row, size_t index, SRow* out) {
    ULONG cValues = static_cast<ULONG>(row.size());
    auto* props = static_cast<LPSPropValue>(
        book_->Allocate(static_cast<ULONG>(sizeof(SPropValue) * std::max<ULONG>(cValues, 1)),
                        "row" + std::to_string(index)));
    out->ulAdrEntryPad = 0;
    out->cValues = cValues;
    out->lpProps = props;
    if (!props) return false;
    for (ULONG j = 0; j < cValues; ++j) {
      const WabProp& prop = row[j];
      SPropValue& value = props[j];
      value.ulPropTag = prop.tag;
      switch (PROP_TYPE(prop.tag)) {
        case PT_STRING8: {
          if (prop.nullText) break;
          auto* text = static_cast<LPSTR>(
              book_->AllocateMore(static_cast<ULONG>(prop.text.size() + 1), props));
          if (!text) return false;
          std::memcpy(text, prop.text.c_str(), prop.text.size() + 1);
          value.Value.lpszA = text;
          break;
        }
        case PT_UNICODE: {
          auto* text = static_cast<LPWSTR>(book_->AllocateMore(
              static_cast<ULONG>((prop.wide.size() + 1) * sizeof(WCHAR)), props));
          if (!text) return false;
          std::copy(prop.wide.begin(), prop.wide.end(), text);
          text[prop.wide.size()] = 0;
          value.Value.lpszW = text;
          break;
        }
        case PT_ERROR:
          value.Value.err = prop.error;
          break;
        case PT_I2:
          value.Value.i = static_cast<SHORT>(prop.number);
          break;
        case PT_BOOLEAN:
          value.Value.b = static_cast<USHORT>(prop.number);
          break;
        case PT_LONG:
          value.Value.l = prop.number;
          break;
        case PT_BINARY: {
          ULONG cb = static_cast<ULONG>(prop.binary.size());
          auto* bytes = static_cast<LPBYTE>(book_->AllocateMore(cb, props));
          if (!bytes) return false;
          std::copy(prop.binary.begin(), prop.binary.end(), bytes);
          value.Value.bin = SBinary{cb, bytes};
          break;
        }
        default:
          break;
      }
    }
    return true;
  }

  void FreeQuietly(void* block) {
    HRESULT ignored;
    if (block) book_->Free(block, &ignored);
  }

  FakeAddressBook* book_;
  std::deque<WabRow> rows_;  // the rows when the table was made
  size_t cursor_ = 0;
};

class FakeContainerObject final : public IABContainer, public FakeObject {
 public:
  FakeContainerObject(FakeEnv& env, FakeAddressBook* book)
      : FakeObject(env, "ABContainer"), book_(book) {}

  HRESULT QueryInterface(REFIID riid, void** ppv) override {
    return QueryFor(static_cast<IABContainer*>(this), {IID_IABContainer}, riid, ppv);
  }
  ULONG AddRef() override { return AddRefImpl(); }
  ULONG Release() override { return ReleaseImpl(); }

  HRESULT GetContentsTable(ULONG flags, LPMAPITABLE* table) override {
    CallScope call =
        Begin("GetContentsTable", {CallArg::Num("flags", flags), CallArg::Ptr("table", table)});
    if (!table) return Done(call, MAPI_E_INVALID_PARAMETER);
    *table = nullptr;
    if (call.dead) return Done(call, E_UNEXPECTED);
    if (call.fault) return Done(call, *call.fault);
    HRESULT status = book_->contentsTableStatus;
    if (!HandsOut(status, book_->handOutOnWarning)) return Done(call, status);
    auto* made = env().Make<FakeTableObject>(book_);
    HRESULT hr = HandOut<IMAPITable>(made, book_->wrapTable, IID_IMAPITable,
                                     reinterpret_cast<void**>(table));
    return Done(call, FAILED(hr) ? hr : status);
  }

 private:
  FakeAddressBook* book_;
};

class FakeAddrBookObject final : public IAddrBook, public FakeObject {
 public:
  FakeAddrBookObject(FakeEnv& env, FakeAddressBook* book)
      : FakeObject(env, "AddrBook"), book_(book) {}

  HRESULT QueryInterface(REFIID riid, void** ppv) override {
    return QueryFor(static_cast<IAddrBook*>(this), {IID_IAddrBook}, riid, ppv);
  }
  ULONG AddRef() override { return AddRefImpl(); }
  ULONG Release() override { return ReleaseImpl(); }

  HRESULT GetPAB(ULONG* cbEntryId, LPENTRYID* entryId) override {
    CallScope call =
        Begin("GetPAB", {CallArg::Ptr("cbEntryId", cbEntryId), CallArg::Ptr("entryId", entryId)});
    if (!cbEntryId || !entryId) return Done(call, MAPI_E_INVALID_PARAMETER);
    *cbEntryId = 0;
    *entryId = nullptr;
    if (call.dead) return Done(call, E_UNEXPECTED);
    if (call.fault) return Done(call, *call.fault);
    HRESULT status = book_->getPabStatus;
    if (!HandsOut(status, book_->handOutOnWarning)) return Done(call, status);
    ULONG cb = static_cast<ULONG>(book_->pabEntryId.size());
    void* block = book_->Allocate(cb, "entryid");
    if (!block) return Done(call, MAPI_E_NOT_ENOUGH_MEMORY);
    if (cb) std::memcpy(block, book_->pabEntryId.data(), cb);
    *cbEntryId = cb;
    *entryId = static_cast<LPENTRYID>(block);
    return Done(call, status);
  }

  HRESULT OpenEntry(ULONG cbEntryId, LPENTRYID entryId, LPCIID iid, ULONG flags, ULONG* objType,
                    LPUNKNOWN* object) override {
    CallScope call =
        Begin("OpenEntry", {CallArg::Num("cbEntryId", cbEntryId),
                            entryId ? CallArg::Text("entryId", HexBytes(entryId, cbEntryId))
                                    : CallArg::Ptr("entryId", nullptr),
                            CallArg::Guid("iid", iid), CallArg::Num("flags", flags),
                            CallArg::Ptr("objType", objType), CallArg::Ptr("object", object)});
    if (!objType || !object) return Done(call, MAPI_E_INVALID_PARAMETER);
    *objType = 0;
    *object = nullptr;
    if (call.dead) return Done(call, E_UNEXPECTED);
    if (call.fault) return Done(call, *call.fault);
    const std::vector<BYTE>& pab = book_->pabEntryId;
    if (!entryId || cbEntryId != pab.size() ||
        (cbEntryId && std::memcmp(entryId, pab.data(), cbEntryId) != 0)) {
      return Done(call, MAPI_E_INVALID_ENTRYID);
    }
    if (iid && !(*iid == IID_IABContainer) && !(*iid == IID_IUnknown)) {
      return Done(call, E_NOINTERFACE);
    }
    HRESULT status = book_->openEntryStatus;
    if (!HandsOut(status, book_->handOutOnWarning)) return Done(call, status);
    HRESULT hr;
    if (book_->objectType == MAPI_ABCONT) {
      auto* made = env().Make<FakeContainerObject>(book_);
      IABContainer* container = nullptr;
      hr = HandOut<IABContainer>(made, book_->wrapContainer, IID_IABContainer,
                                 reinterpret_cast<void**>(&container));
      *object = container;
    } else {
      auto* made = env().Make<FakeMailUserObject>();
      hr = made->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(object));
    }
    if (FAILED(hr)) return Done(call, hr);
    *objType = book_->objectType;
    return Done(call, status);
  }

 private:
  FakeAddressBook* book_;
};

class FakeWabObject final : public IWABObject, public FakeObject {
 public:
  FakeWabObject(FakeEnv& env, FakeAddressBook* book) : FakeObject(env, "WABObject"), book_(book) {}

  HRESULT QueryInterface(REFIID riid, void** ppv) override {
    return QueryFor(static_cast<IWABObject*>(this), {IID_IWABObject}, riid, ppv);
  }
  ULONG AddRef() override { return AddRefImpl(); }
  ULONG Release() override { return ReleaseImpl(); }

  HRESULT AllocateBuffer(ULONG cb, LPVOID* buffer) override {
    CallScope call =
        Begin("AllocateBuffer", {CallArg::Num("cb", cb), CallArg::Ptr("buffer", buffer)});
    if (!buffer) return Done(call, MAPI_E_INVALID_PARAMETER);
    *buffer = nullptr;
    if (call.dead) return Done(call, E_UNEXPECTED);
    if (call.fault) return Done(call, *call.fault);
    *buffer = book_->Allocate(cb, "caller");
    return Done(call, *buffer ? S_OK : MAPI_E_NOT_ENOUGH_MEMORY);
  }

  HRESULT AllocateMore(ULONG cb, LPVOID base, LPVOID* buffer) override {
    CallScope call = Begin("AllocateMore", {CallArg::Num("cb", cb), CallArg::Ptr("base", base),
                                            CallArg::Ptr("buffer", buffer)});
    if (!buffer) return Done(call, MAPI_E_INVALID_PARAMETER);
    *buffer = nullptr;
    if (call.dead) return Done(call, E_UNEXPECTED);
    if (call.fault) return Done(call, *call.fault);
    *buffer = book_->AllocateMore(cb, base);
    return Done(call, *buffer ? S_OK : MAPI_E_INVALID_PARAMETER);
  }

  HRESULT FreeBuffer(LPVOID buffer) override {
    HRESULT status = S_OK;
    std::string label = book_->Free(buffer, &status);
    CallScope call = Begin("FreeBuffer", {CallArg::Text("buffer", label)}, false);
    if (call.dead) return Done(call, E_UNEXPECTED);
    return Done(call, status);
  }

 private:
  FakeAddressBook* book_;
};

}  // namespace

FakeAddressBook::FakeAddressBook(FakeEnv& env) : env_(env) {}

FakeAddressBook::~FakeAddressBook() {
  // Blocks the code under test never freed: LiveBuffers() reported them.
  for (auto& [block, info] : blocks_) {
    for (void* more : info.more) std::free(more);
    std::free(block);
  }
}

WabRow& FakeAddressBook::AddContact(const char* displayName, const char* nickname,
                                    const char* email) {
  WabRow row;
  BYTE serial = static_cast<BYTE>(rows.size());
  row.push_back(WabProp::Binary(PR_ENTRYID, {0, 0, 0, 0, 'C', serial}));
  row.push_back(WabProp::Long(PR_OBJECT_TYPE, MAPI_MAILUSER));
  if (displayName) row.push_back(WabProp::String8(PR_DISPLAY_NAME_A, displayName));
  if (nickname) row.push_back(WabProp::String8(PR_NICKNAME_A, nickname));
  if (email) row.push_back(WabProp::String8(PR_EMAIL_ADDRESS_A, email));
  rows.push_back(std::move(row));
  return rows.back();
}

HRESULT FakeAddressBook::Open(LPADRBOOK* addrBook, LPWABOBJECT* wabObject, LPWAB_PARAM params,
                              DWORD reserved) {
  std::vector<CallArg> args{CallArg::Ptr("params", params), CallArg::Num("reserved", reserved)};
  if (params) {
    args.push_back(CallArg::Num("cbSize", params->cbSize));
    args.push_back(CallArg::Str("szFileName", params->szFileName));
    args.push_back(CallArg::Num("ulFlags", params->ulFlags));
  }
  size_t index = env_.log.Record("", "WABOpen", std::move(args));
  auto done = [&](HRESULT hr) {
    env_.log.SetResult(index, hr);
    return hr;
  };
  if (!addrBook || !wabObject) return done(MAPI_E_INVALID_PARAMETER);
  *addrBook = nullptr;
  *wabObject = nullptr;
  if (std::optional<HRESULT> fault = env_.faults.OnCall("WABOpen")) return done(*fault);
  if (!HandsOut(wabOpenStatus, handOutOnWarning)) return done(wabOpenStatus);
  auto* book = env_.Make<FakeAddrBookObject>(this);
  auto* wab = env_.Make<FakeWabObject>(this);
  HRESULT hr =
      HandOut<IAddrBook>(book, wrapAddrBook, IID_IAddrBook, reinterpret_cast<void**>(addrBook));
  if (SUCCEEDED(hr)) {
    hr = HandOut<IWABObject>(wab, wrapWabObject, IID_IWABObject,
                             reinterpret_cast<void**>(wabObject));
    if (FAILED(hr)) {
      (*addrBook)->Release();
      *addrBook = nullptr;
    }
  }
  return done(FAILED(hr) ? hr : wabOpenStatus);
}

std::vector<std::string> FakeAddressBook::LiveBuffers() const {
  std::vector<std::string> labels;
  for (const auto& [block, info] : blocks_) labels.push_back(info.label);
  return labels;
}

void* FakeAddressBook::Allocate(ULONG cb, std::string label) {
  void* block = std::calloc(1, cb == 0 ? 1 : cb);
  if (!block) return nullptr;
  blocks_.emplace(block, Block{std::move(label), {}});
  ++allocated_;
  return block;
}

void* FakeAddressBook::AllocateMore(ULONG cb, void* base) {
  auto it = blocks_.find(base);
  if (it == blocks_.end()) return nullptr;
  void* block = std::calloc(1, cb == 0 ? 1 : cb);
  if (!block) return nullptr;
  it->second.more.push_back(block);
  moreToBase_.emplace(block, base);
  return block;
}

std::string FakeAddressBook::Free(void* block, HRESULT* status) {
  *status = S_OK;
  if (!block) return "null";
  auto it = blocks_.find(block);
  if (it == blocks_.end()) {
    *status = MAPI_E_INVALID_PARAMETER;
    if (moreToBase_.count(block)) {
      env_.log.NoteError("FreeBuffer of a block allocated with AllocateMore");
    } else {
      env_.log.NoteError(
          "FreeBuffer of a block that is not live (freed twice, or never "
          "handed out)");
    }
    return "unknown";
  }
  std::string label = std::move(it->second.label);
  for (void* more : it->second.more) {
    moreToBase_.erase(more);
    std::free(more);
  }
  blocks_.erase(it);
  std::free(block);
  ++freed_;
  return label;
}

}  // namespace vorn_fakes
