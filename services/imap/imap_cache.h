// The account's local cache, one SQLite file under $VORN_ROOT/imap: which
// store identifier names which mailbox and which message, the header fields
// a listing shows, and what the server last said of each mailbox, so that
// listing an unchanged mailbox needs no more than one STATUS.
//
// Tables:
//   counters(name, next)   the next folder and message identifiers; they
//                          only grow, so an identifier is never reused
//   folders(id, mailbox, uidvalidity, uidnext, messages, unseen, modseq)
//                          mailbox: the server's full name, unique
//   messages(id, folder, uidvalidity, uid, flags, size, priority, language,
//            received, sent, subject, normal_subject, display_from,
//            display_to, digest, bare_lf)   (folder, uidvalidity, uid) unique;
//                          indexed by digest and by (folder, id)
//
// Not thread-safe: the store serialises its use.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/store.h"
#include "services/imap/imap_client.h"
#include "services/store/digest.h"
#include "services/store/sqlite_db.h"
#include "services/store/store_db.h"

namespace vorn_imap {

struct CachedFolder {
  STOREFOLDERID id = 0;
  std::string mailbox;
  MailboxStatus status;  // as of the last listing; uidValidity 0: never listed
};

struct CachedMessage {
  vorn_store::MessageInfo info;  // info.flags: MSGFLAG_READ, MSGFLAG_ATTACHMENT
  STOREFOLDERID folder = 0;
  uint32_t uidValidity = 0;
  uint32_t uid = 0;
  vorn_store::Digest digest{};
  // Stored with bare LF line ends, which the server hands back as CRLF:
  // read back, the text gets its own line ends again.
  bool bareLf = false;
};

// What a sync compares with the server's answer: a message's identifier,
// UID and flags, without the fields a listing shows.
struct CachedUid {
  MESSAGEID id = 0;
  uint32_t uidValidity = 0;
  uint32_t uid = 0;
  DWORD flags = 0;
};

class ImapCache {
 public:
  static HRESULT Open(const std::string& path, std::unique_ptr<ImapCache>* out);
  ImapCache(const ImapCache&) = delete;
  ImapCache& operator=(const ImapCache&) = delete;

  const std::string& path() const { return path_; }

  // Runs `body` as one write transaction: kept when it succeeds.
  HRESULT InTransaction(const std::function<HRESULT()>& body);

  // --- Folders
  // The folder of `mailbox`, made with a new identifier when the cache has none.
  HRESULT FolderFor(const std::string& mailbox, STOREFOLDERID* id);
  // STG_E_FILENOTFOUND for an identifier the cache does not hold.
  HRESULT GetFolder(STOREFOLDERID id, CachedFolder* out);
  HRESULT ListFolders(std::vector<CachedFolder>* out);
  // Forgets a folder and its messages.
  HRESULT DropFolder(STOREFOLDERID id);
  // Gives folder `id` and every folder below it (names starting with
  // `from` and `separator`) the names under `to`.
  HRESULT RenameFolder(STOREFOLDERID id, const std::string& from, const std::string& to,
                       char separator);
  HRESULT SaveStatus(STOREFOLDERID id, const MailboxStatus& status);

  // --- Messages
  HRESULT AllocateMessageId(MESSAGEID* id);
  // Takes `count` identifiers in a row: [*first, *first + count).
  HRESULT AllocateMessageIds(uint32_t count, MESSAGEID* first);
  // Gives back the unused end [from, end) of identifiers taken in a row, when
  // none was taken after them: they were never handed out, so the counter
  // may go back and identifiers stay dense. S_FALSE when others were taken.
  HRESULT ReturnMessageIds(MESSAGEID from, MESSAGEID end);
  // The folder's messages as a sync needs them, in UID order.
  HRESULT ListUids(STOREFOLDERID folder, std::vector<CachedUid>* out);
  // What a listing shows of at most `limit` of the folder's messages from
  // identifier `from` on, in identifier order, in place of *out's rows.
  HRESULT ListMessageInfo(STOREFOLDERID folder, MESSAGEID from, size_t limit,
                          std::vector<vorn_store::MessageInfo>* out);
  // STG_E_FILENOTFOUND when the folder holds no such message.
  HRESULT GetMessage(STOREFOLDERID folder, MESSAGEID id, CachedMessage* out);
  // Inserts or replaces by identifier.
  HRESULT PutMessage(const CachedMessage& message);
  HRESULT SetFlags(MESSAGEID id, DWORD flags);
  // Forgets message `id` while it is still the folder's message of that
  // UIDVALIDITY and UID: a row that another process moved meanwhile (it
  // keeps its identifier in its new folder) stays. Either way that message
  // of the server is gone, and is marked so (MarkGone).
  HRESULT DropMessage(MESSAGEID id, STOREFOLDERID folder, uint32_t uidValidity, uint32_t uid);
  // Marks the server's message of that folder, UIDVALIDITY and UID as gone
  // (moved or expunged): a sync in another process that fetched it before
  // then does not record it anew. UIDs are never given again within one
  // UIDVALIDITY, so a mark stays true; marks go after an hour, longer than
  // any fetch runs before its write.
  HRESULT MarkGone(STOREFOLDERID folder, uint32_t uidValidity, uint32_t uid);
  // The UIDs of the folder's messages of that UIDVALIDITY marked gone, in
  // increasing order.
  HRESULT GoneUids(STOREFOLDERID folder, uint32_t uidValidity, std::vector<uint32_t>* out);
  // S_OK with the identifier of the folder's message of that UIDVALIDITY
  // and UID; S_FALSE when the cache has none.
  HRESULT FindByUid(STOREFOLDERID folder, uint32_t uidValidity, uint32_t uid, MESSAGEID* id);
  // Forgets the folder's messages of any UIDVALIDITY but `uidValidity`.
  HRESULT DropOtherValidity(STOREFOLDERID folder, uint32_t uidValidity);
  // S_OK with the lowest identifier whose digest matches; S_FALSE when none.
  HRESULT FindByDigest(const vorn_store::Digest& digest, STOREFOLDERID* folder, MESSAGEID* id);

 private:
  ImapCache(std::string path, std::unique_ptr<vorn_store::Connection> connection)
      : path_(std::move(path)), connection_(std::move(connection)) {}
  HRESULT Allocate(const char* counter, uint32_t count, uint32_t* first);

  const std::string path_;
  std::unique_ptr<vorn_store::Connection> connection_;
};

}  // namespace vorn_imap
