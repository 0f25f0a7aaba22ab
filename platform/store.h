// The mail store: a tree of folders holding stored messages, reached through
// a namespace object and one object per open folder.
//
// Declarations only; the store server (vornstore.so) implements them.
//
// Status conventions for every method: negative is failure; S_OK success; in
// the enumerations (GetFirst.../GetNext...) S_FALSE (1) means "no more" and
// carries no item.
#pragma once

#include "platform/unknown.h"

struct IMimeMessage;

constexpr CLSID CLSID_StoreNamespace = MakeGuid("{E70C92A9-4BFD-11D1-8A95-00C04FB951F3}");
constexpr IID IID_IStoreNamespace = MakeGuid("{E70C92AA-4BFD-11D1-8A95-00C04FB951F3}");
constexpr IID IID_IStoreFolder = MakeGuid("{1DFAB7DB-12AF-4CD3-992C-14AA93FC95B8}");
constexpr IID IID_IProgressNotify = MakeGuid("{EA8826E0-BF76-4E3A-8776-0EA8FAD6E30E}");

// Identifiers are the store's own 32-bit values, never 0 or 0xFFFFFFFF for a
// real folder or message.
typedef DWORD STOREFOLDERID;
typedef STOREFOLDERID* LPSTOREFOLDERID;
typedef DWORD MESSAGEID;
typedef MESSAGEID* LPMESSAGEID;

constexpr STOREFOLDERID FOLDERID_ROOT = 0;         // the root of the folder tree
constexpr STOREFOLDERID FOLDERID_INVALID = 0xFFFFFFFF;
constexpr MESSAGEID MESSAGEID_FIRST = 0xFFFFFFFF;  // "start at the first message"
constexpr MESSAGEID MESSAGEID_INVALID = 0xFFFFFFFF;

// An open enumeration; 0 exactly when none is open.
typedef ULONG_PTR HENUMSTORE;
typedef HENUMSTORE* LPHENUMSTORE;

// A batch of changes made as one (0: no batch, each change on its own).
typedef ULONG_PTR HBATCHLOCK;

enum SPECIALFOLDER : INT {
  FOLDER_NOTSPECIAL = -1,
  FOLDER_INBOX = 0,
  FOLDER_OUTBOX = 1,
  FOLDER_SENT = 2,
  FOLDER_DELETED = 3,
  FOLDER_DRAFT = 4,
  FOLDER_MAX = 5,  // the value after the last special folder
};

enum IMSGPRIORITY : DWORD {
  IMSG_PRI_LOW = 5,
  IMSG_PRI_NORMAL = 3,
  IMSG_PRI_HIGH = 1,
};

// The values a caller puts in cbSize. They identify the structure (they are
// its size on 32-bit systems); a method refuses a structure whose cbSize is
// not the constant it expects, with E_INVALIDARG.
constexpr ULONG CB_FOLDERPROPS = 280;
constexpr ULONG CB_MESSAGEPROPS = 68;
constexpr ULONG CB_MESSAGEIDLIST = 12;

constexpr int CCH_FOLDER_NAME = 256;  // szName, NUL included

// Extension: the failures the store server reports beyond the common codes.
// Callers need only test for a negative status; the codes tell why.
//  E_INVALIDARG           a bad name, a wrong cbSize, a structure that is not the store's
//  E_POINTER              a null pointer where one is needed
//  E_HANDLE               an enumeration or batch handle that is not open
//  E_ACCESSDENIED         a special folder cannot be renamed or removed
//  STG_E_FILENOTFOUND     an unknown folder, or a message the folder does not hold
//  STG_E_REVERTED         the folder of this object has been removed
//  STG_E_ACCESSDENIED     the store cannot be written (read-only file or folder)
//  STG_E_MEDIUMFULL       the disk is full, a message is too large, or no
//                         identifier is left
//  STG_E_READFAULT, STG_E_WRITEFAULT  an input/output error
//  E_UNEXPECTED           a call before Initialize, or a batch already open
//  STORE_E_NEWERVERSION   Initialize: the store was made by a newer version of
//                         the server, and is left as it is
// Committing or opening a message as IMimeMessage also fails with the
// status of creating the MIME library's message class when it is missing.
constexpr HRESULT STORE_E_ALREADYEXISTS = MakeHresult(0x800700B7u);  // a sibling has that name
constexpr HRESULT STORE_E_NOTEMPTY = MakeHresult(0x80070091u);       // the folder has subfolders
constexpr HRESULT STORE_E_TOODEEP = MakeHresult(0x800700CEu);        // nesting beyond 64 levels
constexpr HRESULT STG_E_LOCKVIOLATION = MakeHresult(0x80030021u);    // busy in another process
constexpr HRESULT STG_E_DOCFILECORRUPT = MakeHresult(0x80030109u);   // the store's file is damaged
constexpr HRESULT STORE_E_NEWERVERSION = MakeHresult(0x80030105u);   // made by a newer version

// Extension: a folder name is 1 to CCH_FOLDER_NAME - 1 bytes of UTF-8
// without control characters, unique among its siblings whatever the case;
// folders nest at most STORE_MAX_DEPTH levels below the root.
constexpr int STORE_MAX_DEPTH = 64;

struct FOLDERPROPS {
  ULONG cbSize;                 // CB_FOLDERPROPS
  STOREFOLDERID dwFolderId;
  INT cSubFolders;              // direct subfolders
  SPECIALFOLDER sfType;         // FOLDER_NOTSPECIAL for an ordinary folder
  DWORD cUnread;                // messages without the read flag
  DWORD cMessage;
  CHAR szName[CCH_FOLDER_NAME];  // UTF-8, NUL-terminated
};
typedef FOLDERPROPS* LPFOLDERPROPS;

// Message flags (dwFlags).
constexpr DWORD MSGFLAG_READ = 0x00000001;        // the message has been read
constexpr DWORD MSGFLAG_ATTACHMENT = 0x00000002;  // it carries attachments

struct MESSAGEPROPS {
  ULONG cbSize;  // CB_MESSAGEPROPS
  DWORD dwReserved;
  MESSAGEID dwMessageId;
  DWORD dwLanguage;  // code page of the message's main charset, 0 unknown
  DWORD dwState;     // the store server repeats dwFlags here
  DWORD cbMessage;   // size of the raw message in bytes
  IMSGPRIORITY priority;
  FILETIME ftReceived;  // UTC
  FILETIME ftSent;      // UTC; 0 when unknown
  // Store-owned UTF-8 texts, valid until FreeMessageProps; any may be null.
  LPSTR pszSubject;
  LPSTR pszDisplayTo;
  LPSTR pszDisplayFrom;
  LPSTR pszNormalSubject;
  DWORD dwFlags;  // MSGFLAG_*
  // Store-owned stream, null unless the store attaches one; released by
  // FreeMessageProps.
  IStream* pStream;
};
typedef MESSAGEPROPS* LPMESSAGEPROPS;

struct MESSAGEIDLIST {
  ULONG cbSize;  // CB_MESSAGEIDLIST
  ULONG cMsgs;
  LPMESSAGEID prgdwMsgId;  // cMsgs identifiers, owned by the caller
};
typedef MESSAGEIDLIST* LPMESSAGEIDLIST;

// CopyMoveMessages flags.
constexpr DWORD CMF_MOVE = 0x1;  // move instead of copy

// GetMessageProps flags.
constexpr DWORD MSGPROPS_FAST = 0x1;  // cached fields only; the stream member stays null

// Progress of a long operation. Callers on this platform pass null.
struct IProgressNotify : IUnknown {
  virtual HRESULT OnProgress(DWORD done, DWORD total) = 0;

 protected:
  ~IProgressNotify() = default;
};
VORN_INTERFACE_ID(IProgressNotify, IID_IProgressNotify);

struct IStoreFolder;

struct IStoreNamespace : IUnknown {
  // Opens the store. `owner` is null on this platform; `reserved` 0. Every
  // other method fails with E_UNEXPECTED before a successful Initialize.
  virtual HRESULT Initialize(HWND owner, DWORD reserved) = 0;

  // Opens folder `folderId`; *folder (caller owns) is null on failure.
  virtual HRESULT OpenFolder(STOREFOLDERID folderId, DWORD reserved, IStoreFolder** folder) = 0;

  // Creates a subfolder of `parentId` named `name` (UTF-8) and writes its
  // identifier to *newId when that is not null.
  virtual HRESULT CreateFolder(STOREFOLDERID parentId, LPCSTR name, DWORD flags,
                               LPSTOREFOLDERID newId) = 0;
  virtual HRESULT RenameFolder(STOREFOLDERID folderId, DWORD reserved, LPCSTR name) = 0;
  // Deletes an empty-of-subfolders folder with its messages.
  virtual HRESULT DeleteFolder(STOREFOLDERID folderId, DWORD flags) = 0;

  // Copies or (with CMF_MOVE) moves the listed messages of `source` to
  // `destination`. A copy's flags are the original's less `flagsToRemove`.
  virtual HRESULT CopyMoveMessages(IStoreFolder* source, IStoreFolder* destination,
                                   LPMESSAGEIDLIST messages, DWORD flags, DWORD flagsToRemove,
                                   IProgressNotify* progress) = 0;

  // Enumerates the direct subfolders of `parentId` into *props (cbSize must be
  // CB_FOLDERPROPS). The first call opens *enumeration; S_FALSE when there is
  // no (further) subfolder. The caller closes an open enumeration with
  // GetSubFolderClose.
  virtual HRESULT GetFirstSubFolder(STOREFOLDERID parentId, LPFOLDERPROPS props,
                                    LPHENUMSTORE enumeration) = 0;
  virtual HRESULT GetNextSubFolder(HENUMSTORE enumeration, LPFOLDERPROPS props) = 0;
  virtual HRESULT GetSubFolderClose(HENUMSTORE enumeration) = 0;

 protected:
  ~IStoreNamespace() = default;
};
VORN_INTERFACE_ID(IStoreNamespace, IID_IStoreNamespace);

struct IStoreFolder : IUnknown {
  // Fills *props for one message of this folder (cbSize must be
  // CB_MESSAGEPROPS); the caller hands it back with FreeMessageProps.
  virtual HRESULT GetMessageProps(MESSAGEID messageId, DWORD flags, LPMESSAGEPROPS props) = 0;
  // Frees the texts and releases the stream a Get...Message call put in
  // *props, and sets those members to null.
  virtual HRESULT FreeMessageProps(LPMESSAGEPROPS props) = 0;

  virtual HRESULT DeleteMessages(LPMESSAGEIDLIST messages, DWORD reserved,
                                 IProgressNotify* progress) = 0;
  // Sets (read TRUE) or clears (FALSE) MSGFLAG_READ on the listed messages.
  virtual HRESULT MarkMessagesAsRead(BOOL read, DWORD reserved, LPMESSAGEIDLIST messages) = 0;

  // Opens a stored message as IID_IStream (its raw text) or IID_IMimeMessage
  // (parsed). *object (caller owns) is null on failure.
  virtual HRESULT OpenMessage(MESSAGEID messageId, REFIID riid, void** object) = 0;

  // Enumerates the messages from `firstId` (MESSAGEID_FIRST: the first) in
  // identifier order, as GetFirstSubFolder does folders. Each filled *props is
  // handed back with FreeMessageProps before the next call.
  virtual HRESULT GetFirstMessage(DWORD flags, DWORD msgFlags, MESSAGEID firstId,
                                  LPMESSAGEPROPS props, LPHENUMSTORE enumeration) = 0;
  virtual HRESULT GetNextMessage(HENUMSTORE enumeration, DWORD flags, LPMESSAGEPROPS props) = 0;
  virtual HRESULT GetMessageClose(HENUMSTORE enumeration) = 0;

  // Creates a stream to write a new message into (*stream, caller owns) and
  // reserves its identifier. Nothing is stored until CommitStream.
  virtual HRESULT CreateStream(HBATCHLOCK batch, DWORD flags, IStream** stream,
                               LPMESSAGEID messageId) = 0;
  // Stores what was written to `stream` as message `messageId` of this folder.
  // `message` is null on this platform.
  virtual HRESULT CommitStream(HBATCHLOCK batch, DWORD flags, DWORD msgFlags, IStream* stream,
                               MESSAGEID messageId, IMimeMessage* message) = 0;

 protected:
  ~IStoreFolder() = default;
};
VORN_INTERFACE_ID(IStoreFolder, IID_IStoreFolder);
