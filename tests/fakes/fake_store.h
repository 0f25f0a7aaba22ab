// Fake mail store: an in-memory folder tree with messages, served through
// IStoreNamespace, IStoreFolder and IStream objects that log every call and
// consult the shared fault injector.
//
//   vorn_fakes::FakeEnv env;                       // first: ends last
//   vorn_fakes::FakeMimeModel mime(env);
//   vorn_fakes::FakeStore store(env, &mime);
//   STOREFOLDERID inbox = store.AddFolder(FOLDERID_ROOT, "Inbox", FOLDER_INBOX).id;
//   vorn_fakes::FakeMessage& m = store.AddMessage(inbox);
//   m.subject = "Hello";
//   m.raw = "Subject: Hello\r\n\r\nBody";
//   auto registration = store.Register();           // CLSID_StoreNamespace
//   ... run the code under test ...
//   EXPECT_THAT(env.log.Errors(), IsEmpty());
//   EXPECT_THAT(env.log.LiveObjects(), IsEmpty());
//   EXPECT_EQ(store.OutstandingStrings(), 0);
//   EXPECT_EQ(store.OpenEnumerations(), 0);
//
// Behaviour (what the real store promises, and the fake keeps):
//  - Every method but Initialize fails with E_UNEXPECTED on a namespace that
//    was not initialised (each CoCreateInstance gives a new namespace object).
//  - Structures are refused with E_INVALIDARG unless cbSize is CB_FOLDERPROPS,
//    CB_MESSAGEPROPS or CB_MESSAGEIDLIST; a null out-pointer gets E_POINTER.
//  - Unknown folder or message identifiers, empty or duplicate (among
//    siblings) folder names, names of CCH_FOLDER_NAME bytes or more, deleting
//    a folder with subfolders, and messages not in the folder get a negative
//    status and change nothing.
//  - Enumerations: GetFirst... opens a handle (never 0) and answers the first
//    item, or S_FALSE with the handle 0 when there is none (unless
//    openHandleWhenEmpty); GetNext... answers S_FALSE when there are no more.
//    Subfolders come in the order they were added, messages in identifier
//    order. Each handle must be closed exactly once with its own Close method;
//    closing an unknown or closed handle is recorded in log.Errors() and
//    answered E_HANDLE.
//  - MESSAGEPROPS strings are allocated anew for every fill (null where the
//    description says nullopt) and stay valid until FreeMessageProps, which
//    frees them, releases pStream and sets those members to null. Freeing a
//    string not handed out (twice, or foreign) is recorded in log.Errors().
//  - Changes (CreateFolder, RenameFolder, DeleteFolder, CopyMoveMessages,
//    DeleteMessages, MarkMessagesAsRead, CommitStream) change the
//    description, so a later enumeration shows them.
//  - OpenMessage: IID_IStream gives a new "RawStream" over `raw` whose reads
//    follow `rawReads`; IID_IMimeMessage gives the FakeMimeModel's message
//    object over `mime` (E_NOINTERFACE without a model or a description);
//    other interfaces E_NOINTERFACE.
//  - CreateStream reserves an identifier and gives a writable "NewStream";
//    CommitStream stores what was written as a new message (subject, from and
//    to read from the header lines, flags = msgFlags, and with a MIME model
//    the single-part description MakeMessageFromRaw gives) and lists it in
//    Commits(). The stream must come from CreateStream of the same folder.
//
// Faultable (see FaultInjector): Initialize, OpenFolder, CreateFolder,
// RenameFolder, DeleteFolder, CopyMoveMessages, GetFirstSubFolder,
// GetNextSubFolder, GetMessageProps, DeleteMessages, MarkMessagesAsRead,
// OpenMessage, GetFirstMessage, GetNextMessage, CreateStream, CommitStream,
// Read, Write, and CreateInstance of the class factory. A fired fault
// returns its status at once, with out-pointers null and handles 0.
//
// Log argument names: folderId, parentId, name, flags, reserved, newId
// (null/set), enumeration (the handle value, or null/set for out-handles),
// cbSize (as found in the structure passed), messageId, firstId, msgFlags,
// read, riid, batch, stream, source, destination (the fake folder's id, or
// "foreign"), cMsgs, ids (comma-separated), flagsToRemove, progress.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/store.h"
#include "runtime/com_ptr.h"
#include "tests/fakes/class_factory.h"
#include "tests/fakes/fake_env.h"
#include "tests/fakes/fake_mime.h"
#include "tests/fakes/scripted_stream.h"

namespace vorn_fakes {

struct FakeFolder {
  STOREFOLDERID id = 0;
  STOREFOLDERID parent = FOLDERID_ROOT;
  std::string name;
  SPECIALFOLDER type = FOLDER_NOTSPECIAL;
  // Counts reported in FOLDERPROPS; unset: computed from the tree (direct
  // subfolders) and the messages (all, and those without MSGFLAG_READ).
  std::optional<INT> subFolderCount;
  std::optional<DWORD> unreadCount;
  std::optional<DWORD> messageCount;
  // A negative status refuses OpenFolder of this folder with it.
  HRESULT openStatus = S_OK;
  // A set status is what GetFirstSubFolder answers for this parent (a
  // failure, or S_FALSE for "no subfolder") instead of enumerating.
  std::optional<HRESULT> subFolderStatus;
};

struct FakeMessage {
  MESSAGEID id = 0;
  STOREFOLDERID folder = 0;
  // MESSAGEPROPS fields.
  DWORD language = 0;
  DWORD state = 0;
  std::optional<DWORD> size;  // cbMessage; unset: raw.size()
  IMSGPRIORITY priority = IMSG_PRI_NORMAL;
  FILETIME received = {0, 0};
  FILETIME sent = {0, 0};
  std::optional<std::string> subject;  // nullopt: a null pointer
  std::optional<std::string> displayTo;
  std::optional<std::string> displayFrom;
  std::optional<std::string> normalSubject;
  DWORD flags = 0;  // MSGFLAG_*
  // The raw text, and the script of the RawStream's reads.
  std::string raw;
  std::vector<ReadStep> rawReads;
  // OpenMessage of this message (either interface) answers this status when
  // it is not S_OK: negative fails with a null object; a success code other
  // than S_OK still hands the object out unless `withholdObject` is set.
  HRESULT openStatus = S_OK;
  bool withholdObject = false;
  // What OpenMessage hands out for IID_IMimeMessage.
  std::shared_ptr<FakeMimeMessage> mime;
};

class FakeStore {
 public:
  // `mime` serves OpenMessage for IID_IMimeMessage; it may be null.
  explicit FakeStore(FakeEnv& env, FakeMimeModel* mime = nullptr);
  ~FakeStore();
  FakeStore(const FakeStore&) = delete;
  FakeStore& operator=(const FakeStore&) = delete;

  // --- describing the store ---------------------------------------------------
  // Adds a folder below `parent` (FOLDERID_ROOT or a folder) and returns it.
  // `id` 0 takes the next free identifier (identifiers start at 101); an
  // identifier in use throws std::invalid_argument. The reference stays valid
  // until the folder is deleted; its `id` must not be changed.
  FakeFolder& AddFolder(STOREFOLDERID parent, std::string name,
                        SPECIALFOLDER type = FOLDER_NOTSPECIAL, STOREFOLDERID id = 0);
  // Inbox, Outbox, Sent Items, Deleted Items and Drafts below the root, as a
  // new store has them.
  void AddStandardFolders();
  // Adds a message to `folder`; `id` 0 takes the next free identifier
  // (identifiers start at 1001); an identifier in use throws
  // std::invalid_argument. The reference stays valid until the message is
  // deleted; its `id` must not be changed (its `folder` may). Lookups by
  // identifier take logarithmic time, so large folders stay cheap.
  FakeMessage& AddMessage(STOREFOLDERID folder, MESSAGEID id = 0);

  FakeFolder* Folder(STOREFOLDERID id);
  FakeMessage* Message(MESSAGEID id);
  // Direct subfolders of `parent` in enumeration order.
  std::vector<STOREFOLDERID> SubFolders(STOREFOLDERID parent) const;
  // Messages of `folder` in enumeration (identifier) order.
  std::vector<MESSAGEID> MessagesIn(STOREFOLDERID folder) const;
  std::optional<STOREFOLDERID> FindFolder(STOREFOLDERID parent, std::string_view name) const;

  // --- knobs ------------------------------------------------------------------
  // What Initialize answers.
  HRESULT initializeStatus = S_OK;
  // GetFirstSubFolder / GetFirstMessage answering S_FALSE still open a handle
  // (non-zero) that the caller has to close.
  bool openHandleWhenEmpty = false;
  // GetMessageProps, GetFirstMessage and GetNextMessage called without
  // MSGPROPS_FAST attach a "PropsStream" over the raw text in pStream.
  bool attachStreamToProps = false;
  // ftReceived of committed messages.
  FILETIME commitTime = {0x12345678u, 0x01D00000u};

  // Optional wrappers applied to objects before they are handed out.
  std::function<ComPtr<IStoreNamespace>(ComPtr<IStoreNamespace>)> wrapNamespace;
  std::function<ComPtr<IStoreFolder>(ComPtr<IStoreFolder>)> wrapFolder;
  std::function<ComPtr<IStream>(ComPtr<IStream>)> wrapRawStream;
  std::function<ComPtr<IStream>(ComPtr<IStream>)> wrapNewStream;

  // --- serving ----------------------------------------------------------------
  // A new, uninitialised namespace object for `riid` (what the class factory
  // hands out), passed through wrapNamespace.
  HRESULT CreateNamespace(REFIID riid, void** ppv);
  // Registers a class factory of namespaces under CLSID_StoreNamespace.
  ClassRegistration Register();

  // --- observing --------------------------------------------------------------
  // MESSAGEPROPS filled (successful GetMessageProps, GetFirstMessage and
  // GetNextMessage with an item) and FreeMessageProps calls.
  int PropsFilled() const { return propsFilled_; }
  int PropsFreed() const { return propsFreed_; }
  // Property strings handed out and not yet freed.
  int OutstandingStrings() const { return static_cast<int>(strings_.size()); }
  // Enumeration handles open now.
  int OpenEnumerations() const { return static_cast<int>(enumerations_.size()); }

  struct Commit {
    STOREFOLDERID folder;
    MESSAGEID id;
    std::string bytes;
    DWORD msgFlags;
  };
  const std::vector<Commit>& Commits() const { return commits_; }

  FakeEnv& env() const { return env_; }

  // --- for the fake objects -----------------------------------------------------
  struct Enumeration {
    bool folders;              // subfolders, else messages
    std::string owner;         // the object that opened it
    STOREFOLDERID scope;       // parent or folder
    std::vector<DWORD> items;  // snapshot of identifiers
    size_t next = 0;
  };
  HENUMSTORE OpenEnumeration(Enumeration enumeration);
  Enumeration* FindEnumeration(HENUMSTORE handle);
  bool CloseEnumeration(HENUMSTORE handle);
  void FillFolderProps(const FakeFolder& folder, FOLDERPROPS* props) const;
  // Fills `props` for `message`; false when a string cannot be allocated.
  bool FillMessageProps(const FakeMessage& message, DWORD flags, MESSAGEPROPS* props);
  // Frees what a fill put in `props`.
  void FreeMessageProps(MESSAGEPROPS* props);
  MESSAGEID NextMessageId() { return nextMessageId_++; }
  STOREFOLDERID NextFolderId() { return nextFolderId_++; }
  void RemoveMessage(MESSAGEID id);
  void RemoveFolder(STOREFOLDERID id);
  void AddCommit(Commit commit) { commits_.push_back(std::move(commit)); }
  FakeMimeModel* mime() const { return mime_; }

 private:
  FakeEnv& env_;
  FakeMimeModel* mime_;
  std::map<STOREFOLDERID, FakeFolder> folders_;
  std::vector<STOREFOLDERID> folderOrder_;  // enumeration order
  std::map<MESSAGEID, FakeMessage> messages_;
  STOREFOLDERID nextFolderId_ = 101;
  MESSAGEID nextMessageId_ = 1001;
  std::vector<std::pair<HENUMSTORE, Enumeration>> enumerations_;
  HENUMSTORE nextHandle_ = 0x5E00;
  std::set<void*> strings_;
  int propsFilled_ = 0;
  int propsFreed_ = 0;
  std::vector<Commit> commits_;
};

}  // namespace vorn_fakes
