#include "tests/fakes/fake_store.h"

#include <strings.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <map>
#include <stdexcept>

#include "tests/fakes/hand_out.h"

namespace vorn_fakes {
namespace {

constexpr HRESULT kUnknownId = STG_E_FILENOTFOUND;

std::string IdsText(const MESSAGEIDLIST* list) {
  std::string text;
  if (!list || !list->prgdwMsgId || list->cbSize != CB_MESSAGEIDLIST) return text;
  for (ULONG i = 0; i < list->cMsgs && i < 64; ++i) {
    if (i) text += ",";
    text += std::to_string(list->prgdwMsgId[i]);
  }
  return text;
}

// The arguments that describe a MESSAGEIDLIST as passed.
void AddListArgs(std::vector<CallArg>& args, const MESSAGEIDLIST* list) {
  if (!list) {
    args.push_back(CallArg::Ptr("messages", nullptr));
    return;
  }
  args.push_back(CallArg::Num("cbSize", list->cbSize));
  args.push_back(CallArg::Num("cMsgs", list->cMsgs));
  args.push_back(CallArg::Text("ids", IdsText(list)));
}

bool ValidList(const MESSAGEIDLIST* list) {
  return list && list->cbSize == CB_MESSAGEIDLIST && (list->cMsgs == 0 || list->prgdwMsgId);
}

// Header fields of a raw message: "Name: value" lines up to the first empty
// line, names compared case-insensitively, the first occurrence kept.
std::map<std::string, std::string> HeaderFields(const std::string& raw) {
  std::map<std::string, std::string> fields;
  size_t pos = 0;
  while (pos < raw.size()) {
    size_t end = raw.find('\n', pos);
    if (end == std::string::npos) end = raw.size();
    std::string line = raw.substr(pos, end - pos);
    pos = end + 1;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty()) break;
    size_t colon = line.find(':');
    if (colon == std::string::npos) continue;
    std::string name = line.substr(0, colon);
    for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    std::string value = line.substr(colon + 1);
    value.erase(0, value.find_first_not_of(" \t"));
    fields.emplace(name, value);
  }
  return fields;
}

std::string NormalSubject(std::string subject) {
  for (bool again = true; again;) {
    again = false;
    for (const char* prefix : {"re:", "fw:", "fwd:"}) {
      size_t n = std::strlen(prefix);
      if (subject.size() >= n && strncasecmp(subject.c_str(), prefix, n) == 0) {
        subject.erase(0, n);
        subject.erase(0, subject.find_first_not_of(" \t"));
        again = true;
      }
    }
  }
  return subject;
}

class FakeFolderObject;

class FakeNamespaceObject final : public IStoreNamespace, public FakeObject {
 public:
  FakeNamespaceObject(FakeEnv& env, FakeStore* store)
      : FakeObject(env, "StoreNamespace"), store_(store) {}

  HRESULT QueryInterface(REFIID riid, void** ppv) override {
    return QueryFor(static_cast<IStoreNamespace*>(this), {IID_IStoreNamespace}, riid, ppv);
  }
  ULONG AddRef() override { return AddRefImpl(); }
  ULONG Release() override { return ReleaseImpl(); }

  HRESULT Initialize(HWND owner, DWORD reserved) override {
    CallScope call =
        Begin("Initialize", {CallArg::Ptr("owner", owner), CallArg::Num("reserved", reserved)});
    if (call.dead) return Done(call, E_UNEXPECTED);
    if (call.fault) return Done(call, *call.fault);
    if (FAILED(store_->initializeStatus)) return Done(call, store_->initializeStatus);
    initialized_ = true;
    return Done(call, store_->initializeStatus);
  }

  HRESULT OpenFolder(STOREFOLDERID folderId, DWORD reserved, IStoreFolder** folder) override;

  HRESULT CreateFolder(STOREFOLDERID parentId, LPCSTR name, DWORD flags,
                       LPSTOREFOLDERID newId) override {
    CallScope call =
        Begin("CreateFolder", {CallArg::Num("parentId", parentId), CallArg::Str("name", name),
                               CallArg::Num("flags", flags), CallArg::Ptr("newId", newId)});
    if (HRESULT hr = Precheck(call); hr != S_OK) return Done(call, hr);
    if (parentId != FOLDERID_ROOT && !store_->Folder(parentId)) return Done(call, kUnknownId);
    if (HRESULT hr = CheckName(parentId, name); FAILED(hr)) return Done(call, hr);
    STOREFOLDERID id = store_->AddFolder(parentId, name).id;
    if (newId) *newId = id;
    return Done(call, S_OK);
  }

  HRESULT RenameFolder(STOREFOLDERID folderId, DWORD reserved, LPCSTR name) override {
    CallScope call =
        Begin("RenameFolder", {CallArg::Num("folderId", folderId),
                               CallArg::Num("reserved", reserved), CallArg::Str("name", name)});
    if (HRESULT hr = Precheck(call); hr != S_OK) return Done(call, hr);
    FakeFolder* folder = store_->Folder(folderId);
    if (!folder) return Done(call, folderId == FOLDERID_ROOT ? E_INVALIDARG : kUnknownId);
    if (name && folder->name == name) return Done(call, S_OK);
    if (HRESULT hr = CheckName(folder->parent, name); FAILED(hr)) return Done(call, hr);
    folder->name = name;
    return Done(call, S_OK);
  }

  HRESULT DeleteFolder(STOREFOLDERID folderId, DWORD flags) override {
    CallScope call =
        Begin("DeleteFolder", {CallArg::Num("folderId", folderId), CallArg::Num("flags", flags)});
    if (HRESULT hr = Precheck(call); hr != S_OK) return Done(call, hr);
    if (!store_->Folder(folderId)) {
      return Done(call, folderId == FOLDERID_ROOT ? E_INVALIDARG : kUnknownId);
    }
    if (!store_->SubFolders(folderId).empty()) return Done(call, STG_E_ACCESSDENIED);
    store_->RemoveFolder(folderId);
    return Done(call, S_OK);
  }

  HRESULT CopyMoveMessages(IStoreFolder* source, IStoreFolder* destination,
                           LPMESSAGEIDLIST messages, DWORD flags, DWORD flagsToRemove,
                           IProgressNotify* progress) override;

  HRESULT GetFirstSubFolder(STOREFOLDERID parentId, LPFOLDERPROPS props,
                            LPHENUMSTORE enumeration) override {
    CallScope call = Begin("GetFirstSubFolder", {CallArg::Num("parentId", parentId),
                                                 props ? CallArg::Num("cbSize", props->cbSize)
                                                       : CallArg::Ptr("props", nullptr),
                                                 CallArg::Ptr("enumeration", enumeration)});
    if (!enumeration) return Done(call, E_POINTER);
    *enumeration = 0;
    if (HRESULT hr = Precheck(call); hr != S_OK) return Done(call, hr);
    if (!props || props->cbSize != CB_FOLDERPROPS) return Done(call, E_INVALIDARG);
    std::vector<DWORD> items;
    if (parentId != FOLDERID_ROOT) {
      FakeFolder* parent = store_->Folder(parentId);
      if (!parent) return Done(call, kUnknownId);
      if (parent->subFolderStatus && *parent->subFolderStatus != S_FALSE) {
        return Done(call, *parent->subFolderStatus);
      }
      if (!parent->subFolderStatus) items = store_->SubFolders(parentId);
    } else {
      items = store_->SubFolders(parentId);
    }
    if (items.empty()) {
      if (store_->openHandleWhenEmpty) {
        *enumeration = store_->OpenEnumeration({true, name(), parentId, {}, 0});
      }
      return Done(call, S_FALSE);
    }
    store_->FillFolderProps(*store_->Folder(items[0]), props);
    *enumeration = store_->OpenEnumeration({true, name(), parentId, std::move(items), 1});
    return Done(call, S_OK);
  }

  HRESULT GetNextSubFolder(HENUMSTORE enumeration, LPFOLDERPROPS props) override {
    CallScope call = Begin("GetNextSubFolder", {CallArg::Num("enumeration", enumeration),
                                                props ? CallArg::Num("cbSize", props->cbSize)
                                                      : CallArg::Ptr("props", nullptr)});
    if (HRESULT hr = Precheck(call); hr != S_OK) return Done(call, hr);
    FakeStore::Enumeration* e = store_->FindEnumeration(enumeration);
    if (!e || !e->folders) {
      env().log.NoteError("GetNextSubFolder with handle " + std::to_string(enumeration) +
                          ", which is not an open subfolder enumeration");
      return Done(call, E_HANDLE);
    }
    if (!props || props->cbSize != CB_FOLDERPROPS) return Done(call, E_INVALIDARG);
    while (e->next < e->items.size()) {
      FakeFolder* folder = store_->Folder(e->items[e->next++]);
      if (folder && folder->parent == e->scope) {
        store_->FillFolderProps(*folder, props);
        return Done(call, S_OK);
      }
    }
    return Done(call, S_FALSE);
  }

  HRESULT GetSubFolderClose(HENUMSTORE enumeration) override {
    CallScope call = Begin("GetSubFolderClose", {CallArg::Num("enumeration", enumeration)}, false);
    if (call.dead) return Done(call, E_UNEXPECTED);
    FakeStore::Enumeration* e = store_->FindEnumeration(enumeration);
    if (!e || !e->folders) {
      env().log.NoteError("GetSubFolderClose with handle " + std::to_string(enumeration) +
                          ", which is not an open subfolder enumeration");
      return Done(call, E_HANDLE);
    }
    store_->CloseEnumeration(enumeration);
    return Done(call, S_OK);
  }

 private:
  // The checks every method but Initialize makes after logging: a released
  // object, a fired fault, an uninitialised namespace. S_OK to go on.
  HRESULT Precheck(const CallScope& call) const {
    if (call.dead) return E_UNEXPECTED;
    if (call.fault) return *call.fault;
    if (!initialized_) return E_UNEXPECTED;
    return S_OK;
  }

  HRESULT CheckName(STOREFOLDERID parentId, LPCSTR name) const {
    if (!name || !*name) return E_INVALIDARG;
    if (name[std::strspn(name, " ")] == '\0') return E_INVALIDARG;  // only spaces
    if (std::strlen(name) >= static_cast<size_t>(CCH_FOLDER_NAME)) return E_INVALIDARG;
    if (store_->FindFolder(parentId, name)) return E_INVALIDARG;
    return S_OK;
  }

  FakeStore* store_;
  bool initialized_ = false;
};

class FakeFolderObject final : public IStoreFolder, public FakeObject {
 public:
  FakeFolderObject(FakeEnv& env, FakeStore* store, STOREFOLDERID folder)
      : FakeObject(env, "StoreFolder"), store_(store), folder_(folder) {}

  STOREFOLDERID folder() const { return folder_; }

  HRESULT QueryInterface(REFIID riid, void** ppv) override {
    return QueryFor(static_cast<IStoreFolder*>(this), {IID_IStoreFolder}, riid, ppv);
  }
  ULONG AddRef() override { return AddRefImpl(); }
  ULONG Release() override { return ReleaseImpl(); }

  HRESULT GetMessageProps(MESSAGEID messageId, DWORD flags, LPMESSAGEPROPS props) override {
    CallScope call =
        Begin("GetMessageProps",
              {CallArg::Num("messageId", messageId), CallArg::Num("flags", flags),
               props ? CallArg::Num("cbSize", props->cbSize) : CallArg::Ptr("props", nullptr)});
    if (HRESULT hr = Precheck(call); hr != S_OK) return Done(call, hr);
    if (!props || props->cbSize != CB_MESSAGEPROPS) return Done(call, E_INVALIDARG);
    FakeMessage* message = MessageHere(messageId);
    if (!message) return Done(call, kUnknownId);
    if (!store_->FillMessageProps(*message, flags, props)) return Done(call, E_OUTOFMEMORY);
    return Done(call, S_OK);
  }

  HRESULT FreeMessageProps(LPMESSAGEPROPS props) override {
    CallScope call = Begin(
        "FreeMessageProps",
        {props ? CallArg::Num("cbSize", props->cbSize) : CallArg::Ptr("props", nullptr)}, false);
    if (call.dead) return Done(call, E_UNEXPECTED);
    if (!props || props->cbSize != CB_MESSAGEPROPS) return Done(call, E_INVALIDARG);
    store_->FreeMessageProps(props);
    return Done(call, S_OK);
  }

  HRESULT DeleteMessages(LPMESSAGEIDLIST messages, DWORD reserved,
                         IProgressNotify* progress) override {
    std::vector<CallArg> args;
    AddListArgs(args, messages);
    args.push_back(CallArg::Num("reserved", reserved));
    args.push_back(CallArg::Ptr("progress", progress));
    CallScope call = Begin("DeleteMessages", std::move(args));
    if (HRESULT hr = Precheck(call); hr != S_OK) return Done(call, hr);
    if (!ValidList(messages)) return Done(call, E_INVALIDARG);
    if (HRESULT hr = AllHere(messages); FAILED(hr)) return Done(call, hr);
    for (ULONG i = 0; i < messages->cMsgs; ++i) store_->RemoveMessage(messages->prgdwMsgId[i]);
    return Done(call, S_OK);
  }

  HRESULT MarkMessagesAsRead(BOOL read, DWORD reserved, LPMESSAGEIDLIST messages) override {
    std::vector<CallArg> args{CallArg::Num("read", static_cast<uint32_t>(read)),
                              CallArg::Num("reserved", reserved)};
    AddListArgs(args, messages);
    CallScope call = Begin("MarkMessagesAsRead", std::move(args));
    if (HRESULT hr = Precheck(call); hr != S_OK) return Done(call, hr);
    if (!ValidList(messages)) return Done(call, E_INVALIDARG);
    if (HRESULT hr = AllHere(messages); FAILED(hr)) return Done(call, hr);
    for (ULONG i = 0; i < messages->cMsgs; ++i) {
      FakeMessage* message = store_->Message(messages->prgdwMsgId[i]);
      if (read) {
        message->flags |= MSGFLAG_READ;
      } else {
        message->flags &= ~MSGFLAG_READ;
      }
    }
    return Done(call, S_OK);
  }

  HRESULT OpenMessage(MESSAGEID messageId, REFIID riid, void** object) override {
    CallScope call =
        Begin("OpenMessage", {CallArg::Num("messageId", messageId), CallArg::Guid("riid", &riid),
                              CallArg::Ptr("object", object)});
    if (!object) return Done(call, E_POINTER);
    *object = nullptr;
    if (HRESULT hr = Precheck(call); hr != S_OK) return Done(call, hr);
    FakeMessage* message = MessageHere(messageId);
    if (!message) return Done(call, kUnknownId);
    if (FAILED(message->openStatus)) return Done(call, message->openStatus);
    if (message->openStatus != S_OK && message->withholdObject) {
      return Done(call, message->openStatus);
    }
    HRESULT hr = E_NOINTERFACE;
    if (riid == IID_IStream) {
      auto* stream =
          env().Make<ScriptedStream>("RawStream", message->raw, message->rawReads, false);
      hr = HandOut<IStream>(stream, store_->wrapRawStream, riid, object);
    } else if (riid == IID_IMimeMessage && store_->mime() && message->mime) {
      hr = store_->mime()->OpenMessage(message->mime, riid, object);
    }
    if (FAILED(hr)) return Done(call, hr);
    return Done(call, message->openStatus);
  }

  HRESULT GetFirstMessage(DWORD flags, DWORD msgFlags, MESSAGEID firstId, LPMESSAGEPROPS props,
                          LPHENUMSTORE enumeration) override {
    CallScope call =
        Begin("GetFirstMessage",
              {CallArg::Num("flags", flags), CallArg::Num("msgFlags", msgFlags),
               CallArg::Num("firstId", firstId),
               props ? CallArg::Num("cbSize", props->cbSize) : CallArg::Ptr("props", nullptr),
               CallArg::Ptr("enumeration", enumeration)});
    if (!enumeration) return Done(call, E_POINTER);
    *enumeration = 0;
    if (HRESULT hr = Precheck(call); hr != S_OK) return Done(call, hr);
    if (!props || props->cbSize != CB_MESSAGEPROPS) return Done(call, E_INVALIDARG);
    std::vector<DWORD> items;
    for (MESSAGEID id : store_->MessagesIn(folder_)) {
      if (firstId == MESSAGEID_FIRST || id >= firstId) items.push_back(id);
    }
    if (items.empty()) {
      if (store_->openHandleWhenEmpty) {
        *enumeration = store_->OpenEnumeration({false, name(), folder_, {}, 0});
      }
      return Done(call, S_FALSE);
    }
    if (!store_->FillMessageProps(*store_->Message(items[0]), flags, props)) {
      return Done(call, E_OUTOFMEMORY);
    }
    *enumeration = store_->OpenEnumeration({false, name(), folder_, std::move(items), 1});
    return Done(call, S_OK);
  }

  HRESULT GetNextMessage(HENUMSTORE enumeration, DWORD flags, LPMESSAGEPROPS props) override {
    CallScope call =
        Begin("GetNextMessage",
              {CallArg::Num("enumeration", enumeration), CallArg::Num("flags", flags),
               props ? CallArg::Num("cbSize", props->cbSize) : CallArg::Ptr("props", nullptr)});
    if (HRESULT hr = Precheck(call); hr != S_OK) return Done(call, hr);
    FakeStore::Enumeration* e = store_->FindEnumeration(enumeration);
    if (!e || e->folders) {
      env().log.NoteError("GetNextMessage with handle " + std::to_string(enumeration) +
                          ", which is not an open message enumeration");
      return Done(call, E_HANDLE);
    }
    if (!props || props->cbSize != CB_MESSAGEPROPS) return Done(call, E_INVALIDARG);
    while (e->next < e->items.size()) {
      FakeMessage* message = store_->Message(e->items[e->next++]);
      if (message && message->folder == e->scope) {
        if (!store_->FillMessageProps(*message, flags, props)) return Done(call, E_OUTOFMEMORY);
        return Done(call, S_OK);
      }
    }
    return Done(call, S_FALSE);
  }

  HRESULT GetMessageClose(HENUMSTORE enumeration) override {
    CallScope call = Begin("GetMessageClose", {CallArg::Num("enumeration", enumeration)}, false);
    if (call.dead) return Done(call, E_UNEXPECTED);
    FakeStore::Enumeration* e = store_->FindEnumeration(enumeration);
    if (!e || e->folders) {
      env().log.NoteError("GetMessageClose with handle " + std::to_string(enumeration) +
                          ", which is not an open message enumeration");
      return Done(call, E_HANDLE);
    }
    store_->CloseEnumeration(enumeration);
    return Done(call, S_OK);
  }

  HRESULT CreateStream(HBATCHLOCK batch, DWORD flags, IStream** stream,
                       LPMESSAGEID messageId) override {
    CallScope call = Begin("CreateStream",
                           {CallArg::Num("batch", batch), CallArg::Num("flags", flags),
                            CallArg::Ptr("stream", stream), CallArg::Ptr("messageId", messageId)});
    if (!stream || !messageId) return Done(call, E_POINTER);
    *stream = nullptr;
    *messageId = MESSAGEID_INVALID;
    if (HRESULT hr = Precheck(call); hr != S_OK) return Done(call, hr);
    auto* object =
        env().Make<ScriptedStream>("NewStream", std::string(), std::vector<ReadStep>(), true);
    HRESULT hr = HandOut<IStream>(object, store_->wrapNewStream, IID_IStream,
                                  reinterpret_cast<void**>(stream));
    if (FAILED(hr)) return Done(call, hr);
    MESSAGEID id = store_->NextMessageId();
    pending_.push_back({id, object});
    *messageId = id;
    return Done(call, S_OK);
  }

  HRESULT CommitStream(HBATCHLOCK batch, DWORD flags, DWORD msgFlags, IStream* stream,
                       MESSAGEID messageId, IMimeMessage* message) override {
    ScriptedStream* written = FakeEnv::Find<ScriptedStream>(stream);
    CallScope call = Begin(
        "CommitStream", {CallArg::Num("batch", batch), CallArg::Num("flags", flags),
                         CallArg::Num("msgFlags", msgFlags),
                         CallArg::Ptr("stream", stream, written ? written->name() : "foreign"),
                         CallArg::Num("messageId", messageId), CallArg::Ptr("message", message)});
    if (HRESULT hr = Precheck(call); hr != S_OK) return Done(call, hr);
    auto it = std::find_if(pending_.begin(), pending_.end(),
                           [&](const auto& entry) { return entry.first == messageId; });
    if (it == pending_.end() || !written || it->second != written) {
      return Done(call, E_INVALIDARG);
    }
    if (written->released()) {
      env().log.NoteError("CommitStream of " + written->name() + " after its final Release");
      return Done(call, E_INVALIDARG);
    }
    pending_.erase(it);
    if (store_->Message(messageId)) return Done(call, E_UNEXPECTED);  // taken meanwhile
    FakeMessage& added = store_->AddMessage(folder_, messageId);
    added.raw = written->data();
    added.flags = msgFlags;
    added.received = store_->commitTime;
    auto fields = HeaderFields(added.raw);
    if (auto f = fields.find("subject"); f != fields.end()) {
      added.subject = f->second;
      added.normalSubject = NormalSubject(f->second);
    }
    if (auto f = fields.find("from"); f != fields.end()) added.displayFrom = f->second;
    if (auto f = fields.find("to"); f != fields.end()) added.displayTo = f->second;
    if (store_->mime()) added.mime = MakeMessageFromRaw(added.raw);
    store_->AddCommit({folder_, messageId, added.raw, msgFlags});
    return Done(call, S_OK);
  }

 private:
  HRESULT Precheck(const CallScope& call) const {
    if (call.dead) return E_UNEXPECTED;
    if (call.fault) return *call.fault;
    if (!store_->Folder(folder_)) return kUnknownId;  // deleted while open
    return S_OK;
  }

  FakeMessage* MessageHere(MESSAGEID id) const {
    FakeMessage* message = store_->Message(id);
    return message && message->folder == folder_ ? message : nullptr;
  }

  HRESULT AllHere(const MESSAGEIDLIST* list) const {
    for (ULONG i = 0; i < list->cMsgs; ++i) {
      if (!MessageHere(list->prgdwMsgId[i])) return kUnknownId;
    }
    return S_OK;
  }

  FakeStore* store_;
  STOREFOLDERID folder_;
  std::vector<std::pair<MESSAGEID, ScriptedStream*>> pending_;
};

HRESULT FakeNamespaceObject::OpenFolder(STOREFOLDERID folderId, DWORD reserved,
                                        IStoreFolder** folder) {
  CallScope call =
      Begin("OpenFolder", {CallArg::Num("folderId", folderId), CallArg::Num("reserved", reserved),
                           CallArg::Ptr("folder", folder)});
  if (!folder) return Done(call, E_POINTER);
  *folder = nullptr;
  if (HRESULT hr = Precheck(call); hr != S_OK) return Done(call, hr);
  FakeFolder* described = store_->Folder(folderId);
  if (!described) return Done(call, folderId == FOLDERID_ROOT ? E_INVALIDARG : kUnknownId);
  if (FAILED(described->openStatus)) return Done(call, described->openStatus);
  auto* object = env().Make<FakeFolderObject>(store_, folderId);
  return Done(call, HandOut<IStoreFolder>(object, store_->wrapFolder, IID_IStoreFolder,
                                          reinterpret_cast<void**>(folder)));
}

HRESULT FakeNamespaceObject::CopyMoveMessages(IStoreFolder* source, IStoreFolder* destination,
                                              LPMESSAGEIDLIST messages, DWORD flags,
                                              DWORD flagsToRemove, IProgressNotify* progress) {
  FakeFolderObject* from = FakeEnv::Find<FakeFolderObject>(source);
  FakeFolderObject* to = FakeEnv::Find<FakeFolderObject>(destination);
  auto folderArg = [](const char* name, IStoreFolder* given, FakeFolderObject* found) {
    if (!given) return CallArg::Ptr(name, nullptr);
    return CallArg::Text(name, found ? std::to_string(found->folder()) : "foreign");
  };
  std::vector<CallArg> args;
  args.push_back(folderArg("source", source, from));
  args.push_back(folderArg("destination", destination, to));
  AddListArgs(args, messages);
  args.push_back(CallArg::Num("flags", flags));
  args.push_back(CallArg::Num("flagsToRemove", flagsToRemove));
  args.push_back(CallArg::Ptr("progress", progress));
  CallScope call = Begin("CopyMoveMessages", std::move(args));
  if (HRESULT hr = Precheck(call); hr != S_OK) return Done(call, hr);
  if (!from || !to || !ValidList(messages)) return Done(call, E_INVALIDARG);
  for (FakeFolderObject* side : {from, to}) {
    if (side->released()) {
      env().log.NoteError("CopyMoveMessages given " + side->name() + " after its final Release");
      return Done(call, E_INVALIDARG);
    }
    if (!store_->Folder(side->folder())) return Done(call, kUnknownId);
  }
  for (ULONG i = 0; i < messages->cMsgs; ++i) {
    FakeMessage* message = store_->Message(messages->prgdwMsgId[i]);
    if (!message || message->folder != from->folder()) return Done(call, kUnknownId);
  }
  for (ULONG i = 0; i < messages->cMsgs; ++i) {
    FakeMessage* message = store_->Message(messages->prgdwMsgId[i]);
    if (flags & CMF_MOVE) {
      message->folder = to->folder();
      message->flags &= ~flagsToRemove;
    } else {
      FakeMessage copy = *message;
      FakeMessage& added = store_->AddMessage(to->folder());
      MESSAGEID id = added.id;
      added = std::move(copy);
      added.id = id;
      added.folder = to->folder();
      added.flags &= ~flagsToRemove;
    }
  }
  return Done(call, S_OK);
}

}  // namespace

FakeStore::FakeStore(FakeEnv& env, FakeMimeModel* mime) : env_(env), mime_(mime) {}

FakeStore::~FakeStore() {
  // Strings the code under test never handed back: OutstandingStrings()
  // reported them; free them so that only that report remains.
  for (void* text : strings_) std::free(text);
}

FakeFolder& FakeStore::AddFolder(STOREFOLDERID parent, std::string name, SPECIALFOLDER type,
                                 STOREFOLDERID id) {
  if (id == 0) id = nextFolderId_;
  nextFolderId_ = std::max(nextFolderId_, id + 1);
  FakeFolder folder;
  folder.id = id;
  folder.parent = parent;
  folder.name = std::move(name);
  folder.type = type;
  auto [it, added] = folders_.emplace(id, std::move(folder));
  if (!added) throw std::invalid_argument("the fake store has a folder " + std::to_string(id));
  folderOrder_.push_back(id);
  return it->second;
}

void FakeStore::AddStandardFolders() {
  AddFolder(FOLDERID_ROOT, "Inbox", FOLDER_INBOX);
  AddFolder(FOLDERID_ROOT, "Outbox", FOLDER_OUTBOX);
  AddFolder(FOLDERID_ROOT, "Sent Items", FOLDER_SENT);
  AddFolder(FOLDERID_ROOT, "Deleted Items", FOLDER_DELETED);
  AddFolder(FOLDERID_ROOT, "Drafts", FOLDER_DRAFT);
}

FakeMessage& FakeStore::AddMessage(STOREFOLDERID folder, MESSAGEID id) {
  if (id == 0) id = nextMessageId_;
  nextMessageId_ = std::max(nextMessageId_, id + 1);
  FakeMessage message;
  message.id = id;
  message.folder = folder;
  auto [it, added] = messages_.emplace(id, std::move(message));
  if (!added) throw std::invalid_argument("the fake store has a message " + std::to_string(id));
  return it->second;
}

FakeFolder* FakeStore::Folder(STOREFOLDERID id) {
  auto it = folders_.find(id);
  return it == folders_.end() ? nullptr : &it->second;
}

FakeMessage* FakeStore::Message(MESSAGEID id) {
  auto it = messages_.find(id);
  return it == messages_.end() ? nullptr : &it->second;
}

std::vector<STOREFOLDERID> FakeStore::SubFolders(STOREFOLDERID parent) const {
  std::vector<STOREFOLDERID> result;
  for (STOREFOLDERID id : folderOrder_) {
    if (folders_.at(id).parent == parent) result.push_back(id);
  }
  return result;
}

std::vector<MESSAGEID> FakeStore::MessagesIn(STOREFOLDERID folder) const {
  std::vector<MESSAGEID> result;
  for (const auto& [id, message] : messages_) {
    if (message.folder == folder) result.push_back(id);
  }
  return result;
}

std::optional<STOREFOLDERID> FakeStore::FindFolder(STOREFOLDERID parent,
                                                   std::string_view name) const {
  for (STOREFOLDERID id : folderOrder_) {
    const FakeFolder& folder = folders_.at(id);
    if (folder.parent == parent && folder.name == name) return id;
  }
  return std::nullopt;
}

HRESULT FakeStore::CreateNamespace(REFIID riid, void** ppv) {
  if (!ppv) return E_POINTER;
  *ppv = nullptr;
  auto* object = env_.Make<FakeNamespaceObject>(this);
  return HandOut<IStoreNamespace>(object, wrapNamespace, riid, ppv);
}

ClassRegistration FakeStore::Register() {
  IClassFactory* factory = MakeClassFactory(
      env_, [this](REFIID riid, void** ppv) { return CreateNamespace(riid, ppv); });
  ComPtr<IClassFactory> hold(factory);
  return ClassRegistration(CLSID_StoreNamespace, factory);
}

HENUMSTORE FakeStore::OpenEnumeration(Enumeration enumeration) {
  HENUMSTORE handle = nextHandle_;
  nextHandle_ += 0x10;
  enumerations_.emplace_back(handle, std::move(enumeration));
  return handle;
}

FakeStore::Enumeration* FakeStore::FindEnumeration(HENUMSTORE handle) {
  for (auto& [open, enumeration] : enumerations_) {
    if (open == handle) return &enumeration;
  }
  return nullptr;
}

bool FakeStore::CloseEnumeration(HENUMSTORE handle) {
  auto it = std::find_if(enumerations_.begin(), enumerations_.end(),
                         [&](const auto& entry) { return entry.first == handle; });
  if (it == enumerations_.end()) return false;
  enumerations_.erase(it);
  return true;
}

void FakeStore::FillFolderProps(const FakeFolder& folder, FOLDERPROPS* props) const {
  props->dwFolderId = folder.id;
  props->cSubFolders =
      folder.subFolderCount.value_or(static_cast<INT>(SubFolders(folder.id).size()));
  props->sfType = folder.type;
  DWORD unread = 0, total = 0;
  for (const auto& [id, message] : messages_) {
    if (message.folder != folder.id) continue;
    ++total;
    if (!(message.flags & MSGFLAG_READ)) ++unread;
  }
  props->cUnread = folder.unreadCount.value_or(unread);
  props->cMessage = folder.messageCount.value_or(total);
  std::memset(props->szName, 0, sizeof props->szName);
  std::strncpy(props->szName, folder.name.c_str(), sizeof props->szName - 1);
}

bool FakeStore::FillMessageProps(const FakeMessage& message, DWORD flags, MESSAGEPROPS* props) {
  // Strings first, so that a failed allocation leaves nothing behind.
  const std::optional<std::string>* texts[] = {&message.subject, &message.displayTo,
                                               &message.displayFrom, &message.normalSubject};
  LPSTR copies[4] = {};
  for (int i = 0; i < 4; ++i) {
    if (!*texts[i]) continue;
    const std::string& text = **texts[i];
    copies[i] = static_cast<LPSTR>(std::malloc(text.size() + 1));
    if (!copies[i]) {
      for (LPSTR copy : copies) std::free(copy);
      return false;
    }
    std::memcpy(copies[i], text.c_str(), text.size() + 1);
  }
  for (LPSTR copy : copies) {
    if (copy) strings_.insert(copy);
  }
  props->dwReserved = 0;
  props->dwMessageId = message.id;
  props->dwLanguage = message.language;
  props->dwState = message.state;
  props->cbMessage = message.size.value_or(static_cast<DWORD>(message.raw.size()));
  props->priority = message.priority;
  props->ftReceived = message.received;
  props->ftSent = message.sent;
  props->pszSubject = copies[0];
  props->pszDisplayTo = copies[1];
  props->pszDisplayFrom = copies[2];
  props->pszNormalSubject = copies[3];
  props->dwFlags = message.flags;
  props->pStream = nullptr;
  if (attachStreamToProps && !(flags & MSGPROPS_FAST)) {
    auto* stream =
        env_.Make<ScriptedStream>("PropsStream", message.raw, std::vector<ReadStep>(), false);
    stream->AddRef();
    props->pStream = stream;
  }
  ++propsFilled_;
  return true;
}

void FakeStore::FreeMessageProps(MESSAGEPROPS* props) {
  ++propsFreed_;
  struct Member {
    LPSTR* slot;
    const char* name;
  };
  Member members[] = {{&props->pszSubject, "pszSubject"},
                      {&props->pszDisplayTo, "pszDisplayTo"},
                      {&props->pszDisplayFrom, "pszDisplayFrom"},
                      {&props->pszNormalSubject, "pszNormalSubject"}};
  for (const Member& member : members) {
    LPSTR text = *member.slot;
    *member.slot = nullptr;
    if (!text) continue;
    if (strings_.erase(text) == 0) {
      env_.log.NoteError(std::string("FreeMessageProps: ") + member.name +
                         " was not handed out by the store or was freed already");
      continue;
    }
    std::free(text);
  }
  if (IStream* stream = props->pStream) {
    props->pStream = nullptr;
    stream->Release();
  }
}

void FakeStore::RemoveMessage(MESSAGEID id) { messages_.erase(id); }

void FakeStore::RemoveFolder(STOREFOLDERID id) {
  std::erase_if(messages_, [&](const auto& entry) { return entry.second.folder == id; });
  folders_.erase(id);
  std::erase(folderOrder_, id);
}

}  // namespace vorn_fakes
