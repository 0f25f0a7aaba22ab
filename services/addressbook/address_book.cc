#include "services/addressbook/address_book.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

#include "runtime/status_guard.h"
#include "runtime/unknown_impl.h"

namespace vorn_wab {
namespace {

// Entry identifiers: four zero flag bytes, this provider's identifier, the
// kind of entry and its ordinal (the row of a contact).
constexpr GUID kProviderId = MakeGuid("{E8E2A9F6-91C6-4FFC-891B-41818FB351ED}");
constexpr ULONG kPabKind = 1;
constexpr ULONG kContactKind = 2;
static_assert(4 + sizeof(GUID) + 2 * sizeof(ULONG) == kEntryIdSize);

void WriteEntryId(ULONG kind, ULONG ordinal, BYTE* out) {
  std::memset(out, 0, 4);
  std::memcpy(out + 4, &kProviderId, sizeof(GUID));
  std::memcpy(out + 4 + sizeof(GUID), &kind, sizeof kind);
  std::memcpy(out + 8 + sizeof(GUID), &ordinal, sizeof ordinal);
}

// The kind of a well-formed entry identifier of this provider, 0 otherwise.
ULONG EntryKind(ULONG cb, const ENTRYID* entryId) {
  if (!entryId || cb != kEntryIdSize) return 0;
  const BYTE* bytes = reinterpret_cast<const BYTE*>(entryId);
  BYTE expected[kEntryIdSize];
  WriteEntryId(0, 0, expected);
  if (std::memcmp(bytes, expected, 4 + sizeof(GUID)) != 0) return 0;
  ULONG kind;
  std::memcpy(&kind, bytes + 4 + sizeof(GUID), sizeof kind);
  return kind == kPabKind || kind == kContactKind ? kind : 0;
}

// Runs `body`, turning an escaping exception into a status.
template <class F>
HRESULT Guarded(F&& body) noexcept {
  return vorn_rt::Guarded(std::forward<F>(body), E_FAIL);
}

// Reference counting and QueryInterface for an object with one interface.
template <class Interface>
class Object : public Interface {
 public:
  HRESULT QueryInterface(REFIID riid, void** ppv) override {
    return QueryInterfaceAs<Interface>(this, riid, ppv);
  }
  ULONG AddRef() override { return refs_.AddRef(); }
  ULONG Release() override { return refs_.Release([this] { delete this; }); }

 protected:
  Object() = default;
  virtual ~Object() = default;
  Object(const Object&) = delete;
  Object& operator=(const Object&) = delete;

 private:
  RefCount<> refs_;
};

class WabObject final : public Object<IWABObject> {
 public:
  explicit WabObject(std::shared_ptr<BufferPool> pool) : pool_(std::move(pool)) {}

  HRESULT AllocateBuffer(ULONG cb, LPVOID* buffer) override { return pool_->Allocate(cb, buffer); }
  HRESULT AllocateMore(ULONG cb, LPVOID base, LPVOID* buffer) override {
    return pool_->AllocateMore(cb, base, buffer);
  }
  HRESULT FreeBuffer(LPVOID buffer) override { return pool_->Free(buffer); }

 private:
  std::shared_ptr<BufferPool> pool_;
};

// A snapshot of the contacts, read when the table was made, with a cursor.
class ContentsTable final : public Object<IMAPITable> {
 public:
  ContentsTable(std::shared_ptr<BufferPool> pool, std::vector<Contact> contacts)
      : pool_(std::move(pool)), contacts_(std::move(contacts)) {}

  HRESULT GetRowCount(ULONG flags, ULONG* count) override {
    if (!count) return E_INVALIDARG;
    *count = 0;
    if (flags != 0) return E_INVALIDARG;
    *count = static_cast<ULONG>(contacts_.size());
    return S_OK;
  }

  HRESULT QueryRows(LONG rowCount, ULONG flags, LPSRowSet* rows) override {
    if (!rows) return E_INVALIDARG;
    *rows = nullptr;
    if (rowCount <= 0 || flags != 0) return E_INVALIDARG;
    std::lock_guard<std::mutex> lock(mutex_);
    const size_t first = position_;
    const ULONG count =
        static_cast<ULONG>(std::min<size_t>(static_cast<size_t>(rowCount), contacts_.size() - first));

    void* setBuffer = nullptr;
    HRESULT hr = pool_->Allocate(CbNewSRowSet(count), &setBuffer);
    if (hr != S_OK) return hr;
    std::memset(setBuffer, 0, CbNewSRowSet(count));
    SRowSet* set = static_cast<SRowSet*>(setBuffer);
    SRow* row = set->aRow;  // cRows rows in place
    for (ULONG i = 0; i < count; ++i) {
      hr = BuildRow(contacts_[first + i], static_cast<ULONG>(first + i), &row[i]);
      if (hr != S_OK) {
        for (ULONG k = 0; k < i; ++k) pool_->Free(row[k].lpProps);
        pool_->Free(setBuffer);
        return hr;
      }
      set->cRows = i + 1;
    }
    position_ = first + count;
    *rows = set;
    return S_OK;
  }

 private:
  // One row: entry identifier, object type, then the texts the contact has.
  // The values array is one buffer; the bytes they point to are allocated
  // more on it.
  HRESULT BuildRow(const Contact& contact, ULONG ordinal, SRow* row) {
    const std::pair<ULONG, const std::string*> texts[] = {
        {PR_DISPLAY_NAME_A, &contact.displayName},
        {PR_NICKNAME_A, &contact.nickname},
        {PR_EMAIL_ADDRESS_A, &contact.email},
    };
    ULONG values = 2;
    size_t bytes = kEntryIdSize;
    for (const auto& [tag, text] : texts) {
      if (text->empty()) continue;
      ++values;
      bytes += text->size() + 1;
    }

    void* propsBuffer = nullptr;
    HRESULT hr = pool_->Allocate(sizeof(SPropValue) * values, &propsBuffer);
    if (hr != S_OK) return hr;
    std::memset(propsBuffer, 0, sizeof(SPropValue) * values);
    void* data = nullptr;
    hr = pool_->AllocateMore(bytes, propsBuffer, &data);
    if (hr != S_OK) {
      pool_->Free(propsBuffer);
      return hr;
    }

    SPropValue* props = static_cast<SPropValue*>(propsBuffer);
    BYTE* out = static_cast<BYTE*>(data);
    props[0].ulPropTag = PR_ENTRYID;
    props[0].Value.bin.cb = kEntryIdSize;
    props[0].Value.bin.lpb = out;
    WriteEntryId(kContactKind, ordinal, out);
    out += kEntryIdSize;
    props[1].ulPropTag = PR_OBJECT_TYPE;
    props[1].Value.l = static_cast<LONG>(MAPI_MAILUSER);
    ULONG next = 2;
    for (const auto& [tag, text] : texts) {
      if (text->empty()) continue;
      std::memcpy(out, text->c_str(), text->size() + 1);
      props[next].ulPropTag = tag;
      props[next].Value.lpszA = reinterpret_cast<LPSTR>(out);
      out += text->size() + 1;
      ++next;
    }
    row->ulAdrEntryPad = 0;
    row->cValues = values;
    row->lpProps = props;
    return S_OK;
  }

  std::shared_ptr<BufferPool> pool_;
  const std::vector<Contact> contacts_;
  std::mutex mutex_;
  size_t position_ = 0;  // guarded by mutex_
};

// The personal address book: every contact of the source.
class PersonalContainer final : public Object<IABContainer> {
 public:
  PersonalContainer(std::shared_ptr<ContactSource> source, std::shared_ptr<BufferPool> pool)
      : source_(std::move(source)), pool_(std::move(pool)) {}

  HRESULT GetContentsTable(ULONG flags, LPMAPITABLE* table) override {
    if (!table) return E_INVALIDARG;
    *table = nullptr;
    if (flags != 0) return E_INVALIDARG;
    return Guarded([&] {
      std::vector<Contact> contacts;
      const HRESULT hr = source_->Load(&contacts);
      if (FAILED(hr)) return hr;
      if (contacts.size() > static_cast<size_t>(INT32_MAX)) return E_OUTOFMEMORY;
      *table = new ContentsTable(pool_, std::move(contacts));
      return S_OK;
    });
  }

 private:
  std::shared_ptr<ContactSource> source_;
  std::shared_ptr<BufferPool> pool_;
};

class AddressBook final : public Object<IAddrBook> {
 public:
  AddressBook(std::shared_ptr<ContactSource> source, std::shared_ptr<BufferPool> pool)
      : source_(std::move(source)), pool_(std::move(pool)) {}

  HRESULT GetPAB(ULONG* cbEntryId, LPENTRYID* entryId) override {
    if (!cbEntryId || !entryId) return E_INVALIDARG;
    *cbEntryId = 0;
    *entryId = nullptr;
    void* buffer = nullptr;
    const HRESULT hr = pool_->Allocate(kEntryIdSize, &buffer);
    if (hr != S_OK) return hr;
    WriteEntryId(kPabKind, 0, static_cast<BYTE*>(buffer));
    *cbEntryId = kEntryIdSize;
    *entryId = static_cast<LPENTRYID>(buffer);
    return S_OK;
  }

  HRESULT OpenEntry(ULONG cbEntryId, LPENTRYID entryId, LPCIID iid, ULONG flags, ULONG* objType,
                    LPUNKNOWN* object) override {
    if (!objType || !object) return E_INVALIDARG;
    *objType = 0;
    *object = nullptr;
    const ULONG kind = EntryKind(cbEntryId, entryId);
    if (kind == 0) return MAPI_E_INVALID_ENTRYID;
    // Contacts are listed, not opened: there is no mail user interface.
    if (kind == kContactKind) return MAPI_E_NO_SUPPORT;
    // The address book is read-only: modifying access only as "the best".
    if ((flags & MAPI_MODIFY) && !(flags & MAPI_BEST_ACCESS)) return E_ACCESSDENIED;
    return Guarded([&] {
      IABContainer* container = new PersonalContainer(source_, pool_);
      HRESULT hr = S_OK;
      if (iid) {
        hr = container->QueryInterface(*iid, reinterpret_cast<void**>(object));
        container->Release();
      } else {
        *object = container;
      }
      if (hr == S_OK) *objType = MAPI_ABCONT;
      return hr;
    });
  }

 private:
  std::shared_ptr<ContactSource> source_;
  std::shared_ptr<BufferPool> pool_;
};

}  // namespace

BufferPool::BufferPool(std::function<void*(size_t)> allocate) : allocate_(std::move(allocate)) {}

BufferPool::~BufferPool() {
  for (void* base : bases_) FreeChain(static_cast<Block*>(base) - 1);
}

BufferPool::Block* BufferPool::NewBlock(size_t cb) {
  if (cb > SIZE_MAX - sizeof(Block)) return nullptr;
  void* raw = allocate_ ? allocate_(sizeof(Block) + cb) : std::malloc(sizeof(Block) + cb);
  if (!raw) return nullptr;
  return new (raw) Block{nullptr};
}

void BufferPool::FreeChain(Block* block) {
  while (block) {
    Block* next = block->next;
    block->~Block();
    std::free(block);
    block = next;
  }
}

HRESULT BufferPool::Allocate(size_t cb, void** buffer) {
  if (!buffer) return E_INVALIDARG;
  *buffer = nullptr;
  Block* block = NewBlock(cb);
  if (!block) return E_OUTOFMEMORY;
  void* data = block + 1;
  try {
    std::lock_guard<std::mutex> lock(mutex_);
    bases_.insert(data);
  } catch (...) {
    FreeChain(block);
    return E_OUTOFMEMORY;
  }
  *buffer = data;
  return S_OK;
}

HRESULT BufferPool::AllocateMore(size_t cb, void* base, void** buffer) {
  if (!buffer) return E_INVALIDARG;
  *buffer = nullptr;
  if (!base) return E_INVALIDARG;
  std::lock_guard<std::mutex> lock(mutex_);
  if (bases_.find(base) == bases_.end()) return E_INVALIDARG;
  Block* block = NewBlock(cb);
  if (!block) return E_OUTOFMEMORY;
  Block* head = static_cast<Block*>(base) - 1;
  block->next = head->next;
  head->next = block;
  *buffer = block + 1;
  return S_OK;
}

HRESULT BufferPool::Free(void* base) {
  if (!base) return S_OK;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto found = bases_.find(base);
    if (found == bases_.end()) return E_INVALIDARG;
    bases_.erase(found);
  }
  FreeChain(static_cast<Block*>(base) - 1);
  return S_OK;
}

size_t BufferPool::Outstanding() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return bases_.size();
}

HRESULT CreateAddressBook(std::shared_ptr<ContactSource> source, std::shared_ptr<BufferPool> pool,
                          IAddrBook** addrBook, IWABObject** wabObject) {
  if (addrBook) *addrBook = nullptr;
  if (wabObject) *wabObject = nullptr;
  if (!addrBook || !wabObject || !source || !pool) return E_INVALIDARG;
  return Guarded([&] {
    IAddrBook* book = new AddressBook(std::move(source), pool);
    try {
      *wabObject = new WabObject(std::move(pool));
    } catch (...) {
      book->Release();
      throw;
    }
    *addrBook = book;
    return S_OK;
  });
}

}  // namespace vorn_wab
