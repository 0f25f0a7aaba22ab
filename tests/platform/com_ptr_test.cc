#include "runtime/com_ptr.h"

#include <gtest/gtest.h>

#include "platform/store.h"
#include "runtime/unknown_impl.h"

namespace {

// Counts references; QueryInterface answers IUnknown and IStream only.
class Counted final : public IStream {
 public:
  HRESULT QueryInterface(REFIID riid, void** ppv) override {
    return QueryInterfaceFrom(
        {{IID_IUnknown, this}, {IID_IStream, this}, {IID_ISequentialStream, this}}, riid, ppv);
  }
  ULONG AddRef() override { return ++refs; }
  ULONG Release() override { return --refs; }
  HRESULT Read(void*, ULONG, ULONG*) override { return E_NOTIMPL; }
  HRESULT Write(const void*, ULONG, ULONG*) override { return E_NOTIMPL; }
  HRESULT Seek(LARGE_INTEGER, DWORD, ULARGE_INTEGER*) override { return E_NOTIMPL; }
  HRESULT SetSize(ULARGE_INTEGER) override { return E_NOTIMPL; }
  HRESULT Stat(STATSTG*, DWORD) override { return E_NOTIMPL; }
  ULONG refs = 1;
};

TEST(ComPtr, AdoptTakesOverAndReleasesOnce) {
  Counted object;
  { auto held = ComPtr<IStream>::Adopt(&object); EXPECT_EQ(object.refs, 1u); }
  EXPECT_EQ(object.refs, 0u);
}

TEST(ComPtr, CopyAddsAReferenceMoveDoesNot) {
  Counted object;
  {
    ComPtr<IStream> a(&object);
    EXPECT_EQ(object.refs, 2u);
    ComPtr<IStream> b = a;
    EXPECT_EQ(object.refs, 3u);
    ComPtr<IStream> c = std::move(a);
    EXPECT_EQ(object.refs, 3u);
    EXPECT_FALSE(a);
    b = c;  // same object: no net change
    EXPECT_EQ(object.refs, 3u);
    c = nullptr;
    EXPECT_EQ(object.refs, 2u);
  }
  EXPECT_EQ(object.refs, 1u);
}

TEST(ComPtr, PutReleasesWhatWasHeld) {
  Counted first, second;
  ComPtr<IStream> held(&first);
  IStream** slot = held.Put();
  EXPECT_EQ(first.refs, 1u);
  *slot = &second;  // an out-parameter delivering an owned reference
  EXPECT_EQ(held.Get(), &second);
  EXPECT_EQ(held.Detach(), &second);
  EXPECT_EQ(second.refs, 1u);
}

TEST(ComPtr, AsQueriesByInterfaceType) {
  Counted object;
  ComPtr<IStream> stream(&object);
  ComPtr<ISequentialStream> sequential;
  EXPECT_EQ(stream.As(&sequential), S_OK);
  EXPECT_EQ(object.refs, 3u);
  ComPtr<IStoreFolder> folder;
  EXPECT_EQ(stream.As(&folder), E_NOINTERFACE);
  EXPECT_FALSE(folder);
  ComPtr<IStream> empty;
  EXPECT_EQ(empty.As(&sequential), E_POINTER);
  EXPECT_FALSE(sequential);
  EXPECT_EQ(object.refs, 2u);
}

}  // namespace
