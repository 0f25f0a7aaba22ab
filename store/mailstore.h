// CMailStore: the control's one worker object. It opens the mail store, the
// MIME object model and the address book, copies what it reads into record
// lists it owns, and answers queries by zero-based position in those lists.
//
// Conventions of every operation:
//  - Changing operations return 1 for success and 0 for failure.
//  - Index queries return a neutral value (-1, 0 or "") for an index that is
//    negative or not below the list's count, and never call the platform.
//  - Identifiers (folder and message) are the store's own 32-bit values,
//    passed to the store unchanged and never looked up in a list.
//  - Strings are 8-bit text in the system code page (UTF-8).
//  - No operation throws; no operation writes anything but its result, except
//    GetMessageContent, which echoes the raw text to standard output.
//  - Everything runs on the thread that created the object; there is no lock.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "addressbook/contact_entry.h"
#include "mime/attachment_entry.h"
#include "platform/loader.h"
#include "platform/mime.h"
#include "platform/store.h"
#include "platform/wab.h"
#include "runtime/com_ptr.h"
#include "runtime/record_list.h"

// One folder of the store's folder tree, as the last folder walk saw it.
class CFolderEntry {
 public:
  CFolderEntry() = default;
  virtual ~CFolderEntry() = default;
  CFolderEntry(const CFolderEntry&) = delete;
  CFolderEntry& operator=(const CFolderEntry&) = delete;

  // The numeric fields of FOLDERPROPS, copied unchanged.
  ULONG cbSize = 0;
  STOREFOLDERID dwFolderId = 0;
  INT cSubFolders = 0;
  INT sfType = FOLDER_NOTSPECIAL;
  DWORD cUnread = 0;
  DWORD cMessage = 0;
  // szName up to its terminating zero.
  std::string name;
  // Nesting depth below the store root: 0 for a folder directly below it.
  int32_t depth = 0;
};

// One message of the current folder, copied from its MESSAGEPROPS. The strings
// are copies, so the record stays valid after the properties are handed back;
// a null text gives an empty string.
class CMessageEntry {
 public:
  CMessageEntry() = default;
  virtual ~CMessageEntry() = default;
  CMessageEntry(const CMessageEntry&) = delete;
  CMessageEntry& operator=(const CMessageEntry&) = delete;

  MESSAGEID messageId = 0;     // dwMessageId
  DWORD language = 0;          // dwLanguage
  DWORD state = 0;             // dwState
  DWORD size = 0;              // cbMessage
  DWORD priority = 0;          // priority
  FILETIME received = {0, 0};  // ftReceived
  FILETIME sent = {0, 0};      // ftSent
  std::string subject;         // pszSubject
  std::string displayTo;       // pszDisplayTo
  std::string displayFrom;     // pszDisplayFrom
  std::string normalSubject;   // pszNormalSubject
};

class CMailStore {
 public:
  // Builds an empty body text and four empty lists; holds no interface.
  CMailStore();
  // Runs CloseSession, releases the address book and the WAB object, and
  // only then unloads every address book library load OpenSession made.
  virtual ~CMailStore();
  CMailStore(const CMailStore&) = delete;
  CMailStore& operator=(const CMailStore&) = delete;

  // ---- Session --------------------------------------------------------------

  // Opens the session: initialises COM on this thread, creates and initialises
  // the store namespace, creates the MIME allocator, loads the address book
  // library named by the default value of the HKEY_LOCAL_MACHINE key
  // WAB_DLL_PATH_KEY and opens the address book with its WABOpen.
  // Returns 1 when the store is open, with or without a newly opened address
  // book (no library registered or loadable is not a failure); 0 when COM, the
  // store or the MIME allocator cannot be had, when the library lacks WABOpen
  // or when WABOpen fails. A failure after the store namespace was
  // initialised keeps the namespace open. The current folder and current
  // message are none afterwards; every interface an earlier call left in
  // those fields (namespace, folder, message, allocator, property set) is
  // released first. An earlier address book and WAB object are kept until a
  // later WABOpen succeeds. No list and not the body text are touched.
  int32_t OpenSession();
  // Releases, in this order, the store namespace, the current folder, the
  // MIME allocator, the current message and the root body property set, then
  // deletes the records of the contact, message, folder and attachment lists.
  // Leaves the address book, the WAB library, the root body handle and the
  // body text alone. Always returns 1.
  int32_t CloseSession();

  // Each deletes every record of its list and leaves the count 0.
  void ClearFolderList();
  void ClearMessageList();
  void ClearContactList();
  void ClearAttachmentList();

  // ---- Folder catalogue -----------------------------------------------------

  // Replaces the folder list with the store's whole folder tree in pre-order,
  // each record with its depth below the root. 0 without a store namespace
  // (the list is then left as it was) or when the root cannot be enumerated
  // (the list is then empty). Subtrees that cannot be enumerated below the
  // root are left out and do not make the rebuild fail.
  int32_t RebuildFolderList();
  // One level of the walk: appends every subfolder of `parentId`, at depth
  // `depth`, and after each its subtree one level deeper. 1 when the level was enumerated (possibly cut short by
  // a failing GetNextSubFolder), 0 when it could not be started or a record
  // could not be made; the level's enumeration is closed either way.
  int32_t WalkFolders(STOREFOLDERID parentId, int32_t depth);

  int32_t GetFolderCount() const;
  int32_t GetFolderId(int32_t index) const;               // -1 outside
  std::string GetFolderName(int32_t index) const;         // "" outside
  int32_t GetFolderSubFolderCount(int32_t index) const;   // 0 outside
  // sfType + 1 for a special folder (Inbox 1 ... 6), -1 for an ordinary
  // folder, 0 outside the list or for a kind the store should not report.
  int32_t GetFolderType(int32_t index) const;
  int32_t GetFolderUnreads(int32_t index) const;          // 0 outside
  int32_t GetFolderMessageCount(int32_t index) const;     // 0 outside
  int32_t GetFolderHierarchy(int32_t index) const;        // -1 outside

  // Each calls the store and, when the store accepted the change, returns the
  // result of RebuildFolderList (so 0 when the change was made but the list
  // could not be rebuilt). 0 without a store namespace or when the store
  // refuses. CreateFolder refuses an empty name without calling the store;
  // RenameFolder passes any name on. The current folder and the message list
  // are not touched.
  int32_t CreateFolder(int32_t parentFolderId, const std::string& newFolderName);
  int32_t RenameFolder(int32_t folderId, const std::string& newFolderName);
  int32_t RemoveFolder(int32_t folderId);

  // ---- Message catalogue ----------------------------------------------------

  // Makes folder `folderId` current and rebuilds the message list for it.
  // 0 without a store namespace (nothing changes), when the store refuses the
  // folder (then no folder is current and the list keeps its records), or
  // when the folder cannot be enumerated (the folder stays current, the list
  // is empty). The body text and the attachment list are not touched.
  int32_t SetFolder(int32_t folderId);
  // Replaces the message list with the current folder's messages in the
  // store's order. 0 with no current folder (list unchanged) or when the
  // enumeration cannot start (list empty); an enumeration that fails part-way
  // keeps the records made so far and returns 1.
  int32_t RebuildMessageList();

  int32_t GetMessageCount() const;
  int32_t GetMessageId(int32_t index) const;                    // -1 outside
  int32_t GetMessageLanguage(int32_t index) const;              // 0 outside
  std::string GetMessageSubject(int32_t index) const;           // "" outside
  std::string GetMessageNormalSubject(int32_t index) const;     // "" outside
  std::string GetMessageDisplayFrom(int32_t index) const;       // "" outside
  std::string GetMessageDisplayTo(int32_t index) const;         // "" outside
  // The time as "year-month-day hour:minute:second" in plain decimal numbers
  // without leading zeros, in the store's time base (no time zone applied);
  // "" outside the list or for a time that cannot be converted.
  std::string GetMessageReceivedTime(int32_t index) const;
  std::string GetMessageSentTime(int32_t index) const;

  // ---- Message operations ---------------------------------------------------

  // Stores a new message in folder `folderId` made of the header lines
  // "From: <from>", "To:<to>", "Subject:<subject>", an empty line and
  // `content`, every value inserted byte for byte. 0 at once, calling nothing,
  // when `from` or `to` is empty or `from`, `to` or `subject` holds a NUL
  // character (line breaks are taken as they are). Otherwise the target folder is made current
  // (and stays current even when a later step fails) and the message list is
  // rebuilt after the message was stored.
  int32_t CreateMessage(int32_t folderId, const std::string& from, const std::string& to,
                        const std::string& subject, const std::string& content);
  // Copies (move 0) or moves (move non-zero) message `sourceMessageId` of the
  // current folder to folder `destinationFolderId`, clearing on the copy every
  // flag the original does not carry; rebuilds the message list on success.
  // A destination of -1 copies nothing and still succeeds. 0 with no current
  // folder or when a store call fails.
  int32_t CopyMoveMessage(int32_t sourceMessageId, int32_t destinationFolderId, BOOL move);
  // Deletes message `messageId` of the current folder; rebuilds the message
  // list on success. 0 with no current folder or when the store refuses.
  int32_t RemoveMessage(int32_t messageId);
  // Marks message `messageId` of the current folder read (read 1) or unread
  // (read 0); rebuilds the message list on success.
  int32_t MarkMessage(int32_t messageId, BOOL read);
  // The raw text of message `messageId` of the current folder, read in chunks
  // of at most 99 bytes; each chunk (up to its first NUL byte) is written to
  // standard output with puts as it arrives, the final empty read included.
  // "" with no current folder, when the message cannot be opened as a stream
  // or when any read does not answer S_OK (what was gathered is dropped).
  std::string GetMessageContent(int32_t messageId);

  // ---- Contact catalogue ----------------------------------------------------

  // Replaces the contact list with the personal address book's contents, one
  // record per row. 0 without an open address book (or WABOpen entry), when a
  // call fails or when the address book has no rows; the list is left as it
  // was, except that an address book without rows empties it. 1 when the
  // personal address book is not a container (list unchanged) or the rows
  // were read. Everything obtained from the address book is given back.
  int32_t LoadContacts();

  int32_t GetContactCount() const;
  std::string GetContactDisplayName(int32_t index) const;  // "" outside
  std::string GetContactNickname(int32_t index) const;     // "" outside
  std::string GetContactEmail(int32_t index) const;        // "" outside

  // ---- Message body and attachments ----------------------------------------

  // Opens message `messageId` of the current folder as a MIME message, makes
  // it the current message (releasing the earlier one), reads its root body
  // into the body text and its attachments' display names into the attachment
  // list. 0 with no current folder or when the message, its root body or the
  // root body's property set cannot be had (body text and attachments are
  // then unchanged); otherwise the result of LoadAttachments.
  int32_t SetMessage(int32_t messageId);
  // Binds the current message's root body and replaces the body text with its
  // data: a "text..." body is read as UTF-16 and converted, any other body is
  // taken as bytes up to a zero byte in each chunk. 0 only when the root
  // body's property set cannot be bound (body text unchanged); when the body
  // or its data cannot be had the body text is emptied and 1 is returned.
  int32_t LoadBody();
  // The lower-cased Content-Type "type/subtype" of `body` of the current
  // message; "" when it cannot be read.
  std::string GetBodyContentType(HBODY body);
  // Replaces the attachment list with the display names of the current
  // message's bodies that are attachments. 0 with no current message or when
  // the attachments cannot be listed (list unchanged); bodies that are not
  // confirmed attachments or whose name cannot be read are skipped.
  int32_t LoadAttachments();

  std::string GetBody() const;
  int32_t GetAttachmentCount() const;
  std::string GetAttachmentName(int32_t index) const;  // "" outside

 private:
  friend struct MailStoreTestPeer;  // lets tests look at the fields

  // Capacity of the WAB path, its terminating zero included.
  static constexpr int kWabPathSize = 256;

  // Reads the registered address book library path into wabPath_. False (and
  // an empty path) when the key or value is missing or the path with its zero
  // does not fit.
  bool ReadWabPath();
  // Steps 7 to 9 of OpenSession: load the library, find WABOpen, open the
  // address book.
  int32_t OpenAddressBook();
  // Makes the record of one message; false when it cannot be made.
  bool AppendMessage(const MESSAGEPROPS& props);
  // Appends the UTF-16 units [units, units + count) to the body text.
  void AppendWide(const WCHAR* units, size_t count);
  // Reads a text body (UTF-16) or another body (bytes) into the body text.
  void ReadTextBody(IStream* stream);
  void ReadByteBody(IStream* stream);

  ComPtr<IStoreNamespace> storeNamespace_;       // the open store
  ComPtr<IStoreFolder> currentFolder_;           // opened by SetFolder
  ComPtr<IMimeMessage> currentMessage_;          // opened by SetMessage
  ComPtr<IMimeAllocator> mimeAllocator_;         // held for the session only
  ComPtr<IMimePropertySet> rootBodyProperties_;  // of the current root body
  HBODY rootBody_ = HBODY_NULL;                  // current root body
  std::string bodyText_;
  RecordList<CAttachmentEntry> attachments_{10};
  RecordList<CMessageEntry> messages_{10};
  RecordList<CFolderEntry> folders_{10};
  RecordList<CContactEntry> contacts_{10};
  // The record each loader is filling before it appends it; owns nothing.
  CAttachmentEntry* newAttachment_ = nullptr;
  CContactEntry* newContact_ = nullptr;
  CFolderEntry* newFolder_ = nullptr;
  CMessageEntry* newMessage_ = nullptr;
  char wabPath_[kWabPathSize] = {};
  HMODULE wabModule_ = nullptr;                  // null when the last load failed
  ComPtr<IAddrBook> addressBook_;
  ComPtr<IWABObject> wabObject_;
  LPWABOPEN wabOpen_ = nullptr;                  // found in a library still loaded
  // Every successful library load, unloaded at destruction once nothing from
  // the libraries can be used any more.
  std::vector<HMODULE> wabLoads_;
};
