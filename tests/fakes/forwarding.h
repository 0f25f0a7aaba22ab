// Forwarding wrappers: objects that pass every call to an inner object, so a
// test can override one method and keep the rest.
//
//   struct RenameRefused : vorn_fakes::ForwardingStoreNamespace {
//     using ForwardingStoreNamespace::ForwardingStoreNamespace;
//     HRESULT RenameFolder(STOREFOLDERID, DWORD, LPCSTR) override { return E_FAIL; }
//   };
//   store.wrapNamespace = [](ComPtr<IStoreNamespace> inner) {
//     return vorn_fakes::MakeForwarding<RenameRefused>(std::move(inner));
//   };
//
// A wrapper holds one reference to its inner object and keeps its own count;
// it deletes itself (releasing the inner object) when that count drops to 0.
// QueryInterface answers the wrapper itself for its own interface (and its
// bases and IUnknown) and forwards every other identifier to the inner
// object, so fakes still recognise their objects behind a wrapper.
#pragma once

#include <utility>

#include "platform/mime.h"
#include "platform/store.h"
#include "platform/wab.h"
#include "runtime/com_ptr.h"
#include "runtime/unknown_impl.h"

namespace vorn_fakes {

template <class I>
class Forwarding : public I {
 public:
  using Interface = I;

  explicit Forwarding(ComPtr<I> inner) : inner_(std::move(inner)) {}
  virtual ~Forwarding() = default;
  Forwarding(const Forwarding&) = delete;
  Forwarding& operator=(const Forwarding&) = delete;

  HRESULT QueryInterface(REFIID riid, void** ppv) override {
    if (!ppv) return E_POINTER;
    if (riid == IID_IUnknown || IsOwnInterface(riid)) {
      *ppv = static_cast<I*>(this);
      AddRef();
      return S_OK;
    }
    return inner_->QueryInterface(riid, ppv);
  }
  ULONG AddRef() override { return refs_.AddRef(); }
  ULONG Release() override { return refs_.Release([this] { delete this; }); }

  I* inner() const { return inner_.Get(); }

 protected:
  virtual bool IsOwnInterface(REFIID riid) const { return riid == InterfaceIdOf<I>::value; }

 private:
  ComPtr<I> inner_;
  RefCount<ULONG> refs_;
};

// A new wrapper of type W (derived from a Forwarding* class below) around
// `inner`, held by the returned pointer.
template <class W, class... Args>
ComPtr<typename W::Interface> MakeForwarding(Args&&... args) {
  return ComPtr<typename W::Interface>::Adopt(new W(std::forward<Args>(args)...));
}

class ForwardingStoreNamespace : public Forwarding<IStoreNamespace> {
 public:
  using Forwarding::Forwarding;
  HRESULT Initialize(HWND owner, DWORD reserved) override {
    return inner()->Initialize(owner, reserved);
  }
  HRESULT OpenFolder(STOREFOLDERID folderId, DWORD reserved, IStoreFolder** folder) override {
    return inner()->OpenFolder(folderId, reserved, folder);
  }
  HRESULT CreateFolder(STOREFOLDERID parentId, LPCSTR name, DWORD flags,
                       LPSTOREFOLDERID newId) override {
    return inner()->CreateFolder(parentId, name, flags, newId);
  }
  HRESULT RenameFolder(STOREFOLDERID folderId, DWORD reserved, LPCSTR name) override {
    return inner()->RenameFolder(folderId, reserved, name);
  }
  HRESULT DeleteFolder(STOREFOLDERID folderId, DWORD flags) override {
    return inner()->DeleteFolder(folderId, flags);
  }
  HRESULT CopyMoveMessages(IStoreFolder* source, IStoreFolder* destination,
                           LPMESSAGEIDLIST messages, DWORD flags, DWORD flagsToRemove,
                           IProgressNotify* progress) override {
    return inner()->CopyMoveMessages(source, destination, messages, flags, flagsToRemove, progress);
  }
  HRESULT GetFirstSubFolder(STOREFOLDERID parentId, LPFOLDERPROPS props,
                            LPHENUMSTORE enumeration) override {
    return inner()->GetFirstSubFolder(parentId, props, enumeration);
  }
  HRESULT GetNextSubFolder(HENUMSTORE enumeration, LPFOLDERPROPS props) override {
    return inner()->GetNextSubFolder(enumeration, props);
  }
  HRESULT GetSubFolderClose(HENUMSTORE enumeration) override {
    return inner()->GetSubFolderClose(enumeration);
  }
};

class ForwardingStoreFolder : public Forwarding<IStoreFolder> {
 public:
  using Forwarding::Forwarding;
  HRESULT GetMessageProps(MESSAGEID messageId, DWORD flags, LPMESSAGEPROPS props) override {
    return inner()->GetMessageProps(messageId, flags, props);
  }
  HRESULT FreeMessageProps(LPMESSAGEPROPS props) override {
    return inner()->FreeMessageProps(props);
  }
  HRESULT DeleteMessages(LPMESSAGEIDLIST messages, DWORD reserved,
                         IProgressNotify* progress) override {
    return inner()->DeleteMessages(messages, reserved, progress);
  }
  HRESULT MarkMessagesAsRead(BOOL read, DWORD reserved, LPMESSAGEIDLIST messages) override {
    return inner()->MarkMessagesAsRead(read, reserved, messages);
  }
  HRESULT OpenMessage(MESSAGEID messageId, REFIID riid, void** object) override {
    return inner()->OpenMessage(messageId, riid, object);
  }
  HRESULT GetFirstMessage(DWORD flags, DWORD msgFlags, MESSAGEID firstId, LPMESSAGEPROPS props,
                          LPHENUMSTORE enumeration) override {
    return inner()->GetFirstMessage(flags, msgFlags, firstId, props, enumeration);
  }
  HRESULT GetNextMessage(HENUMSTORE enumeration, DWORD flags, LPMESSAGEPROPS props) override {
    return inner()->GetNextMessage(enumeration, flags, props);
  }
  HRESULT GetMessageClose(HENUMSTORE enumeration) override {
    return inner()->GetMessageClose(enumeration);
  }
  HRESULT CreateStream(HBATCHLOCK batch, DWORD flags, IStream** stream,
                       LPMESSAGEID messageId) override {
    return inner()->CreateStream(batch, flags, stream, messageId);
  }
  HRESULT CommitStream(HBATCHLOCK batch, DWORD flags, DWORD msgFlags, IStream* stream,
                       MESSAGEID messageId, IMimeMessage* message) override {
    return inner()->CommitStream(batch, flags, msgFlags, stream, messageId, message);
  }
};

class ForwardingStream : public Forwarding<IStream> {
 public:
  using Forwarding::Forwarding;
  HRESULT Read(void* pv, ULONG cb, ULONG* pcbRead) override {
    return inner()->Read(pv, cb, pcbRead);
  }
  HRESULT Write(const void* pv, ULONG cb, ULONG* pcbWritten) override {
    return inner()->Write(pv, cb, pcbWritten);
  }
  HRESULT Seek(LARGE_INTEGER move, DWORD origin, ULARGE_INTEGER* newPosition) override {
    return inner()->Seek(move, origin, newPosition);
  }
  HRESULT SetSize(ULARGE_INTEGER newSize) override { return inner()->SetSize(newSize); }
  HRESULT Stat(STATSTG* stat, DWORD flags) override { return inner()->Stat(stat, flags); }

 protected:
  bool IsOwnInterface(REFIID riid) const override {
    return riid == IID_IStream || riid == IID_ISequentialStream;
  }
};

class ForwardingMimeMessage : public Forwarding<IMimeMessage> {
 public:
  using Forwarding::Forwarding;
  HRESULT GetBody(BODYLOCATION location, HBODY pivot, LPHBODY body) override {
    return inner()->GetBody(location, pivot, body);
  }
  HRESULT BindToObject(HBODY body, REFIID riid, void** object) override {
    return inner()->BindToObject(body, riid, object);
  }
  HRESULT GetBodyProp(HBODY body, LPCSTR name, DWORD flags, LPPROPVARIANT value) override {
    return inner()->GetBodyProp(body, name, flags, value);
  }
  HRESULT GetAttachments(ULONG* count, LPHBODY* bodies) override {
    return inner()->GetAttachments(count, bodies);
  }
  HRESULT IsBodyType(HBODY body, IMSGBODYTYPE type) override {
    return inner()->IsBodyType(body, type);
  }
};

class ForwardingMimeBody : public Forwarding<IMimeBody> {
 public:
  using Forwarding::Forwarding;
  HRESULT GetDisplayName(LPSTR* name) override { return inner()->GetDisplayName(name); }
  HRESULT GetData(ENCODINGTYPE encoding, IStream** stream) override {
    return inner()->GetData(encoding, stream);
  }
};

class ForwardingMimePropertySet : public Forwarding<IMimePropertySet> {
 public:
  using Forwarding::Forwarding;
  HRESULT GetProp(LPCSTR name, DWORD flags, LPPROPVARIANT value) override {
    return inner()->GetProp(name, flags, value);
  }
};

class ForwardingMimeAllocator : public Forwarding<IMimeAllocator> {
 public:
  using Forwarding::Forwarding;
  void* Alloc(SIZE_T cb) override { return inner()->Alloc(cb); }
  void Free(void* pv) override { inner()->Free(pv); }
};

class ForwardingAddrBook : public Forwarding<IAddrBook> {
 public:
  using Forwarding::Forwarding;
  HRESULT GetPAB(ULONG* cbEntryId, LPENTRYID* entryId) override {
    return inner()->GetPAB(cbEntryId, entryId);
  }
  HRESULT OpenEntry(ULONG cbEntryId, LPENTRYID entryId, LPCIID iid, ULONG flags, ULONG* objType,
                    LPUNKNOWN* object) override {
    return inner()->OpenEntry(cbEntryId, entryId, iid, flags, objType, object);
  }
};

class ForwardingWABObject : public Forwarding<IWABObject> {
 public:
  using Forwarding::Forwarding;
  HRESULT AllocateBuffer(ULONG cb, LPVOID* buffer) override {
    return inner()->AllocateBuffer(cb, buffer);
  }
  HRESULT AllocateMore(ULONG cb, LPVOID base, LPVOID* buffer) override {
    return inner()->AllocateMore(cb, base, buffer);
  }
  HRESULT FreeBuffer(LPVOID buffer) override { return inner()->FreeBuffer(buffer); }
};

class ForwardingABContainer : public Forwarding<IABContainer> {
 public:
  using Forwarding::Forwarding;
  HRESULT GetContentsTable(ULONG flags, LPMAPITABLE* table) override {
    return inner()->GetContentsTable(flags, table);
  }
};

class ForwardingMAPITable : public Forwarding<IMAPITable> {
 public:
  using Forwarding::Forwarding;
  HRESULT GetRowCount(ULONG flags, ULONG* count) override {
    return inner()->GetRowCount(flags, count);
  }
  HRESULT QueryRows(LONG rowCount, ULONG flags, LPSRowSet* rows) override {
    return inner()->QueryRows(rowCount, flags, rows);
  }
};

}  // namespace vorn_fakes
