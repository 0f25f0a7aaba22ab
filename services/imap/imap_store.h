// The account as a store: the folder tree made of the server's mailboxes,
// the messages of each with identifiers from the cache, and every change
// turned into IMAP commands. One connection and one cache per store; every
// method takes the store's lock, so folders and namespaces of one store may
// be used from several threads.
//
// Statuses as the store interfaces define them: STG_E_FILENOTFOUND for an
// unknown folder or a message the folder does not hold, STG_E_REVERTED for
// a folder whose mailbox is gone, E_INVALIDARG for a bad name,
// STORE_E_ALREADYEXISTS, STORE_E_NOTEMPTY, E_ACCESSDENIED for special
// folders; a failure the person must act on (the server cannot be reached,
// the login was refused) also sets the thread's failure reason.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/mime.h"
#include "platform/store.h"
#include "runtime/com_ptr.h"
#include "services/imap/account.h"
#include "services/imap/imap_cache.h"
#include "services/imap/imap_client.h"

namespace vorn_imap {

// A new message for Store::Append.
struct NewMail {
  std::string raw;
  bool seen = false;
  uint64_t received = 0;  // FILETIME ticks; 0: now
  MESSAGEID reserved = 0;  // the identifier it gets (0: a new one)
};

class Store {
 public:
  // Reads the account, opens the cache under `root`, connects, and creates
  // the special folders the account lacks.
  static HRESULT Open(const std::string& root, std::shared_ptr<Store>* out);
  ~Store();
  Store(const Store&) = delete;
  Store& operator=(const Store&) = delete;

  const std::string& cache_path() const { return cache_->path(); }

  // --- Folders
  HRESULT FolderExists(STOREFOLDERID id);
  HRESULT ListSubFolders(STOREFOLDERID parent, std::vector<vorn_store::FolderInfo>* out);
  HRESULT CreateFolder(STOREFOLDERID parent, const std::string& name, STOREFOLDERID* id);
  HRESULT RenameFolder(STOREFOLDERID id, const std::string& name);
  HRESULT DeleteFolder(STOREFOLDERID id);

  // --- Messages of one folder
  // The folder's messages from `from` on, at most `limit`, in identifier
  // order, after bringing the cache up to date with the server.
  HRESULT ListMessages(STOREFOLDERID folder, MESSAGEID from, size_t limit,
                       std::vector<vorn_store::MessageInfo>* out);
  // The same from the cache alone: the later pages of one listing.
  HRESULT ListMoreMessages(STOREFOLDERID folder, MESSAGEID from, size_t limit,
                           std::vector<vorn_store::MessageInfo>* out);
  HRESULT GetMessage(STOREFOLDERID folder, MESSAGEID id, vorn_store::MessageInfo* out);
  // The raw text, as the server holds it; never marks the message read.
  HRESULT ReadMessageText(STOREFOLDERID folder, MESSAGEID id, std::string* raw);
  // An identifier for a message about to be appended. Those reserved and
  // not handed out go back to the cache after each append, so that
  // identifiers stay dense.
  HRESULT ReserveMessageId(MESSAGEID* id);
  // Appends messages to the folder, pipelined; *ids (may be null) gets the
  // identifiers of those stored. Returns the first refusal, but a refused
  // message does not keep the others from being stored.
  HRESULT Append(STOREFOLDERID folder, const std::vector<NewMail>& mails,
                 std::vector<MESSAGEID>* ids);
  HRESULT MarkMessages(STOREFOLDERID folder, const std::vector<MESSAGEID>& ids, bool read);
  HRESULT DeleteMessages(STOREFOLDERID folder, const std::vector<MESSAGEID>& ids);
  HRESULT CopyMoveMessages(STOREFOLDERID source, STOREFOLDERID destination,
                           const std::vector<MESSAGEID>& ids, bool move, DWORD flagsToRemove);
  // S_OK with the lowest message whose digest matches; S_FALSE when none.
  HRESULT FindByDigest(const vorn_store::Digest& digest, STOREFOLDERID* folder, MESSAGEID* id);

  // The MIME library's message class, for parsing (caller owns).
  HRESULT MimeFactory(ComPtr<IClassFactory>* factory);

 private:
  struct Node {
    STOREFOLDERID id = 0;
    std::string mailbox;
    std::string name;  // shown, UTF-8
    STOREFOLDERID parent = 0;
    SPECIALFOLDER special = FOLDER_NOTSPECIAL;
    bool noSelect = false;
    int depth = 1;
  };
  // A message appended without UIDPLUS, to be recognised by the next sync.
  struct Claim {
    MESSAGEID id = 0;
    vorn_store::Digest digest{};
    vorn_store::Digest crLfDigest{};  // of its CRLF form, when it has bare line feeds
    bool bareLf = false;
    DWORD size = 0;
    bool taken = false;
    size_t mail = 0;       // its place in Append's list
    bool inDoubt = false;  // sent, but the connection was lost before the answer
  };

  Store(Account account, std::unique_ptr<ImapCache> cache)
      : account_(std::move(account)), cache_(std::move(cache)) {}

  HRESULT Connected();
  // Lists the mailboxes into nodes_, giving new ones identifiers and
  // forgetting the ones that are gone.
  HRESULT Refresh();
  // Connected() and then Refresh().
  HRESULT Listed();
  const Node* FindNode(STOREFOLDERID id) const;
  // After Listed(), the folder `id` that may be renamed or removed:
  // STG_E_FILENOTFOUND for none, E_ACCESSDENIED for a special folder.
  HRESULT ChangeableFolder(STOREFOLDERID id, const Node** node);
  HRESULT CreateSpecialFolders();
  // Checks a new name for a child of `parent` (0: the root), other than
  // `except`, and makes its full mailbox name.
  HRESULT NewMailboxName(STOREFOLDERID parent, const std::string& name, STOREFOLDERID except,
                         std::string* mailbox);
  // Brings the cache's messages of `folder` in line with the server.
  HRESULT Sync(STOREFOLDERID folder, CachedFolder* state, std::vector<Claim>* claims = nullptr);
  // Fetches the messages of `uids` (of the selected mailbox of `folder`;
  // with none, all `count` of its messages) whole, derives their fields and
  // records them, new ones under new identifiers (or those of the claims
  // they match).
  HRESULT FetchNew(STOREFOLDERID folder, uint32_t uidValidity, std::vector<uint32_t> uids,
                   std::vector<Claim>* claims, uint32_t count = 0);
  // Gives a fetched message the identifier of the first unclaimed claim
  // whose digest it has.
  static void TakeClaim(std::vector<Claim>* claims, CachedMessage* message);
  // Writes messages fetched by a sync in one transaction, giving new
  // identifiers to those the cache does not know by UID yet.
  HRESULT PutFetched(std::vector<CachedMessage>* messages);
  // Syncs and finds every message of `ids` in `folder`.
  HRESULT Resolve(STOREFOLDERID folder, const std::vector<MESSAGEID>& ids, CachedFolder* state,
                  std::vector<CachedMessage>* out);
  // Removes messages of the selected mailbox: UID EXPUNGE, or without
  // UIDPLUS an EXPUNGE when no other message is marked deleted.
  HRESULT Expunge(const std::string& mailbox, const std::vector<uint32_t>& uids);
  HRESULT CheckExpungeSafe(const std::string& mailbox, const std::vector<uint32_t>& uids);
  // The MIME library's message class in mime_, got once.
  HRESULT LoadMimeClass();
  // Derives the cached fields of `raw` with the message class `mime`.
  static HRESULT Describe(IClassFactory* mime, std::string raw, CachedMessage* message);

  // Gives back the reserved identifiers not handed out.
  void ReturnReserved();

  std::mutex mutex_;
  MESSAGEID reservedNext_ = 0;  // [reservedNext_, reservedEnd_): reserved, not handed out
  MESSAGEID reservedEnd_ = 0;
  Account account_;
  ImapClient client_;
  std::unique_ptr<ImapCache> cache_;
  std::vector<Node> nodes_;
  char separator_ = '/';
  ComPtr<IClassFactory> mime_;
};

}  // namespace vorn_imap
