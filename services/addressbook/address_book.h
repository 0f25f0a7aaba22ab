// The address book objects: IAddrBook, IABContainer (the personal address
// book), IMAPITable (its contents) and IWABObject (the buffers they hand out),
// over any source of contacts.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <unordered_set>
#include <vector>

#include "platform/wab.h"
#include "services/addressbook/vcard.h"

namespace vorn_wab {

// Where an address book's contacts come from.
class ContactSource {
 public:
  virtual ~ContactSource() = default;
  // Replaces *contacts with the current contacts, in order. On failure
  // returns a negative status; *contacts is then unspecified.
  virtual HRESULT Load(std::vector<Contact>* contacts) = 0;
};

// The buffers that the address book hands out and IWABObject frees. A buffer
// from Allocate is a base; AllocateMore ties further buffers to a base, and
// freeing the base frees them all. Every buffer is aligned for any type.
// Safe for use from several threads. Buffers still outstanding when the pool
// is destroyed (when the last object sharing it is released) are freed then.
class BufferPool {
 public:
  // `allocate` replaces malloc (tests use it to make allocations fail); what
  // it returns is released with free.
  explicit BufferPool(std::function<void*(size_t)> allocate = nullptr);
  ~BufferPool();
  BufferPool(const BufferPool&) = delete;
  BufferPool& operator=(const BufferPool&) = delete;

  // A new base buffer of `cb` bytes in *buffer (null on failure).
  // E_INVALIDARG for a null `buffer`, E_OUTOFMEMORY.
  HRESULT Allocate(size_t cb, void** buffer);
  // A buffer of `cb` bytes freed together with `base`, which must be a live
  // base buffer of this pool (E_INVALIDARG otherwise).
  HRESULT AllocateMore(size_t cb, void* base, void** buffer);
  // Frees a base buffer and everything allocated more on it. Null is
  // accepted; anything that is not a live base buffer of this pool (a buffer
  // freed already, one allocated "more") is refused with E_INVALIDARG and
  // left alone.
  HRESULT Free(void* base);

  // Base buffers not yet freed.
  size_t Outstanding() const;

 private:
  struct alignas(std::max_align_t) Block {
    Block* next;  // the next buffer allocated more on the same base
  };
  Block* NewBlock(size_t cb);
  static void FreeChain(Block* block);

  std::function<void*(size_t)> allocate_;
  mutable std::mutex mutex_;
  std::unordered_set<void*> bases_;  // the data address of each live base
};

// Creates an address book reading its contacts from `source` each time a
// contents table is made. *addrBook and *wabObject (the caller releases both)
// share `pool`. Returns S_OK, or E_INVALIDARG / E_OUTOFMEMORY with both out
// pointers null.
HRESULT CreateAddressBook(std::shared_ptr<ContactSource> source, std::shared_ptr<BufferPool> pool,
                          IAddrBook** addrBook, IWABObject** wabObject);

// The size of every entry identifier this address book hands out.
constexpr ULONG kEntryIdSize = 28;

}  // namespace vorn_wab
