#include "services/imap/imap_store.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <map>
#include <set>
#include <future>
#include <thread>

#include "platform/failure_reason.h"
#include "platform/runtime.h"
#include "runtime/text.h"
#include "services/imap/body_fetcher.h"
#include "services/imap/mailbox_names.h"
#include "services/store/folder_names.h"
#include "services/store/header_fields.h"
#include "services/store/sqlite_db.h"

namespace vorn_imap {
namespace {

using vorn_store::FolderInfo;
using vorn_store::MessageInfo;

// The names the store gives the special folders it creates, and the names
// by which it knows them on an account without SPECIAL-USE flags.
struct SpecialName {
  SPECIALFOLDER kind;
  const char* created;
  const char* specialUse;  // the SPECIAL-USE flag, or null
  std::vector<const char*> usual;
};
const SpecialName kSpecialNames[] = {
    {FOLDER_OUTBOX, "Outbox", nullptr, {"Outbox"}},
    {FOLDER_SENT, "Sent Items", "Sent", {"Sent Items", "Sent", "Sent Messages"}},
    {FOLDER_DELETED, "Deleted Items", "Trash", {"Deleted Items", "Trash", "Deleted Messages"}},
    {FOLDER_DRAFT, "Drafts", nullptr, {"Drafts"}},
};

// Messages fetched whole per command while a mailbox is brought up to date.
constexpr size_t kBodiesPerFetch = 512;
// Fetched messages written to the cache per transaction.
constexpr size_t kRowsPerTransaction = 4096;
// Identifiers reserved from the cache at a time.
constexpr uint32_t kReservedRun = 256;

bool SameStatus(const MailboxStatus& a, const MailboxStatus& b) {
  return a.uidValidity == b.uidValidity && a.uidNext == b.uidNext && a.messages == b.messages &&
         a.unseen == b.unseen && a.highestModSeq == b.highestModSeq;
}

std::vector<uint32_t> UidsOf(const std::vector<CachedMessage>& messages) {
  std::vector<uint32_t> uids;
  for (const CachedMessage& m : messages) uids.push_back(m.uid);
  return uids;
}

// True for a text with line feeds and no carriage return at all.
bool HasBareLineFeeds(const std::string& raw) {
  return raw.find('\n') != std::string::npos && raw.find('\r') == std::string::npos;
}

// The text as a server hands back one stored with bare line feeds.
std::string WithCrLf(const std::string& raw) {
  std::string out;
  out.reserve(raw.size() + raw.size() / 32);
  for (char c : raw) {
    if (c == '\n') out.push_back('\r');
    out.push_back(c);
  }
  return out;
}

// Undoes WithCrLf.
void DropCr(std::string* raw) {
  size_t kept = 0;
  for (size_t i = 0; i < raw->size(); ++i) {
    if ((*raw)[i] == '\r' && i + 1 < raw->size() && (*raw)[i + 1] == '\n') continue;
    (*raw)[kept++] = (*raw)[i];
  }
  raw->resize(kept);
}

}  // namespace

HRESULT Store::Open(const std::string& root, std::shared_ptr<Store>* out) {
  Account account;
  HRESULT hr = ReadAccount(&account);
  if (FAILED(hr)) return hr;
  std::string folder = root + "/imap";
  if (mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
    return vorn_store::StatusFromErrno(errno);
  }
  std::unique_ptr<ImapCache> cache;
  std::string path = folder + "/" + AccountCacheName(account) + ".db";
  if (FAILED(hr = ImapCache::Open(path, &cache))) {
    VornSetFailureReason(("the IMAP cache " + path + " cannot be opened").c_str());
    return hr;
  }
  std::shared_ptr<Store> store(new Store(std::move(account), std::move(cache)));
  std::lock_guard lock(store->mutex_);
  if (FAILED(hr = store->Connected())) return hr;
  if (FAILED(hr = store->Refresh())) return hr;
  if (FAILED(hr = store->CreateSpecialFolders())) return hr;
  *out = std::move(store);
  return S_OK;
}

HRESULT Store::MimeFactory(ComPtr<IClassFactory>* factory) {
  std::lock_guard lock(mutex_);
  HRESULT hr = LoadMimeClass();
  if (FAILED(hr)) return hr;
  *factory = mime_;
  return S_OK;
}

HRESULT Store::Connected() {
  // A connection the server closed while idle (a restart, an autologout)
  // is noticed here, before a command is lost on it.
  if (client_.Stale()) client_.Drop();
  if (client_.connected()) return S_OK;
  return client_.Connect(account_);
}

HRESULT Store::Listed() {
  HRESULT hr = Connected();
  return SUCCEEDED(hr) ? Refresh() : hr;
}

HRESULT Store::Refresh() {
  std::vector<MailboxEntry> mailboxes;
  HRESULT hr = client_.List(&mailboxes);
  if (FAILED(hr)) return hr;
  std::vector<Node> nodes;
  std::set<std::string> names;
  for (const MailboxEntry& entry : mailboxes) {
    if (entry.separator) separator_ = entry.separator;
    names.insert(entry.name);
  }
  for (const MailboxEntry& entry : mailboxes) {
    Node node;
    if (FAILED(hr = cache_->FolderFor(entry.name, &node.id))) return hr;
    node.mailbox = entry.name;
    node.noSelect = entry.noSelect;
    std::vector<std::string> parts = SplitMailboxName(entry.name, entry.separator);
    node.name = DecodeMailboxName(parts.back());
    node.depth = static_cast<int>(parts.size());
    if (vorn_rt::EqualNoCase(entry.name, "INBOX")) {
      node.special = FOLDER_INBOX;
      node.name = "Inbox";
    }
    // The parent: the nearest listed mailbox above (the root when none is).
    node.parent = FOLDERID_ROOT;
    std::string above = entry.name;
    while (entry.separator) {
      size_t cut = above.rfind(entry.separator);
      if (cut == std::string::npos) break;
      above.resize(cut);
      if (names.count(above)) {
        if (FAILED(hr = cache_->FolderFor(above, &node.parent))) return hr;
        break;
      }
    }
    nodes.push_back(std::move(node));
    // Special folders by flag, and then by their usual names at the top.
    for (const SpecialName& special : kSpecialNames) {
      if (special.specialUse && entry.specialUse == special.specialUse &&
          nodes.back().special == FOLDER_NOTSPECIAL) {
        nodes.back().special = special.kind;
      }
    }
  }
  // One folder per kind: a flagged one first, else the first usual name.
  std::map<SPECIALFOLDER, STOREFOLDERID> taken;
  for (Node& node : nodes) {
    if (node.special == FOLDER_NOTSPECIAL) continue;
    if (taken.count(node.special)) {
      node.special = FOLDER_NOTSPECIAL;
    } else {
      taken[node.special] = node.id;
    }
  }
  for (const SpecialName& special : kSpecialNames) {
    for (const char* usual : special.usual) {
      if (taken.count(special.kind)) break;
      for (Node& node : nodes) {
        if (node.parent == FOLDERID_ROOT && node.special == FOLDER_NOTSPECIAL &&
            vorn_rt::EqualNoCase(node.name, usual)) {
          node.special = special.kind;
          taken[special.kind] = node.id;
          break;
        }
      }
    }
  }
  // Forget the folders whose mailboxes are gone.
  std::vector<CachedFolder> cached;
  if (FAILED(hr = cache_->ListFolders(&cached))) return hr;
  for (const CachedFolder& folder : cached) {
    if (!names.count(folder.mailbox) && FAILED(hr = cache_->DropFolder(folder.id))) return hr;
  }
  nodes_ = std::move(nodes);
  return S_OK;
}

const Store::Node* Store::FindNode(STOREFOLDERID id) const {
  for (const Node& node : nodes_) {
    if (node.id == id) return &node;
  }
  return nullptr;
}

HRESULT Store::CreateSpecialFolders() {
  bool created = false;
  for (const SpecialName& special : kSpecialNames) {
    bool present = std::any_of(nodes_.begin(), nodes_.end(),
                               [&](const Node& node) { return node.special == special.kind; });
    if (present) continue;
    std::string mailbox;
    EncodeMailboxName(special.created, &mailbox);
    HRESULT hr = client_.Create(mailbox);
    STOREFOLDERID id = 0;
    if (SUCCEEDED(hr)) hr = cache_->FolderFor(mailbox, &id);
    if (FAILED(hr)) return hr;
    created = true;
  }
  return created ? Refresh() : S_OK;
}

HRESULT Store::FolderExists(STOREFOLDERID id) {
  std::lock_guard lock(mutex_);
  CachedFolder folder;
  return cache_->GetFolder(id, &folder);
}

HRESULT Store::ListSubFolders(STOREFOLDERID parent, std::vector<FolderInfo>* out) {
  std::lock_guard lock(mutex_);
  HRESULT hr = Listed();
  if (FAILED(hr)) return hr;
  if (parent != FOLDERID_ROOT && !FindNode(parent)) return STG_E_FILENOTFOUND;
  std::vector<const Node*> children;
  for (const Node& node : nodes_) {
    if (node.parent == parent) children.push_back(&node);
  }
  // Special folders by kind, then the others by name whatever the case.
  std::sort(children.begin(), children.end(), [](const Node* a, const Node* b) {
    bool aSpecial = a->special != FOLDER_NOTSPECIAL;
    bool bSpecial = b->special != FOLDER_NOTSPECIAL;
    if (aSpecial != bSpecial) return aSpecial;
    if (aSpecial) return a->special < b->special;
    return vorn_store::FolderNameKey(a->name) < vorn_store::FolderNameKey(b->name);
  });
  out->clear();
  for (const Node* node : children) {
    FolderInfo info;
    info.id = node->id;
    info.name = node->name;
    info.special = node->special;
    for (const Node& other : nodes_) info.subFolders += other.parent == node->id ? 1 : 0;
    if (!node->noSelect) {
      MailboxStatus status;
      hr = client_.Status(node->mailbox, &status);
      if (hr == STG_E_FILENOTFOUND) continue;  // gone since the listing
      if (FAILED(hr)) return hr;
      info.messages = status.messages;
      info.unread = status.unseen;
    }
    out->push_back(std::move(info));
  }
  return S_OK;
}

HRESULT Store::NewMailboxName(STOREFOLDERID parent, const std::string& name,
                              STOREFOLDERID except, std::string* mailbox) {
  HRESULT hr = vorn_store::CheckFolderName(name);
  if (FAILED(hr)) return hr;
  if (name.find(separator_) != std::string::npos) return E_INVALIDARG;
  const Node* above = nullptr;
  if (parent != FOLDERID_ROOT && !(above = FindNode(parent))) return STG_E_FILENOTFOUND;
  if (above && above->depth >= STORE_MAX_DEPTH) return STORE_E_TOODEEP;
  std::string key = vorn_store::FolderNameKey(name);
  for (const Node& node : nodes_) {
    if (node.parent == parent && node.id != except &&
        vorn_store::FolderNameKey(node.name) == key) {
      return STORE_E_ALREADYEXISTS;
    }
  }
  std::string encoded;
  if (!EncodeMailboxName(name, &encoded)) return E_INVALIDARG;
  *mailbox = above ? above->mailbox + separator_ + encoded : encoded;
  return S_OK;
}

HRESULT Store::CreateFolder(STOREFOLDERID parent, const std::string& name, STOREFOLDERID* id) {
  std::lock_guard lock(mutex_);
  HRESULT hr = Listed();
  if (FAILED(hr)) return hr;
  std::string mailbox;
  if (FAILED(hr = NewMailboxName(parent, name, 0, &mailbox))) return hr;
  if (FAILED(hr = client_.Create(mailbox))) return hr;
  if (FAILED(hr = cache_->FolderFor(mailbox, id))) return hr;
  return Refresh();
}

HRESULT Store::ChangeableFolder(STOREFOLDERID id, const Node** node) {
  HRESULT hr = Listed();
  if (FAILED(hr)) return hr;
  *node = FindNode(id);
  if (!*node) return STG_E_FILENOTFOUND;
  return (*node)->special != FOLDER_NOTSPECIAL ? E_ACCESSDENIED : S_OK;
}

HRESULT Store::RenameFolder(STOREFOLDERID id, const std::string& name) {
  std::lock_guard lock(mutex_);
  const Node* node = nullptr;
  HRESULT hr = ChangeableFolder(id, &node);
  if (FAILED(hr)) return hr;
  std::string mailbox;
  if (FAILED(hr = NewMailboxName(node->parent, name, id, &mailbox))) return hr;
  if (mailbox == node->mailbox) return S_OK;
  std::string from = node->mailbox;
  if (FAILED(hr = client_.Rename(from, mailbox))) return hr;
  if (FAILED(hr = cache_->RenameFolder(id, from, mailbox, separator_))) return hr;
  return Refresh();
}

HRESULT Store::DeleteFolder(STOREFOLDERID id) {
  std::lock_guard lock(mutex_);
  const Node* node = nullptr;
  HRESULT hr = ChangeableFolder(id, &node);
  if (FAILED(hr)) return hr;
  for (const Node& other : nodes_) {
    if (other.parent == id) return STORE_E_NOTEMPTY;
  }
  if (FAILED(hr = client_.Delete(node->mailbox))) return hr;
  if (FAILED(hr = cache_->DropFolder(id))) return hr;
  return Refresh();
}

HRESULT Store::LoadMimeClass() {
  if (mime_) return S_OK;
  HRESULT hr = CoGetClassObject(CLSID_VornMimeMessage, CLSCTX_INPROC_SERVER, nullptr,
                                IID_IClassFactory, mime_.PutVoid());
  if (FAILED(hr)) return hr;
  return mime_ ? S_OK : E_UNEXPECTED;
}

HRESULT Store::Describe(IClassFactory* mime, std::string text, CachedMessage* message) {
  vorn_store::HeaderFields fields;
  auto held = std::make_shared<const std::string>(std::move(text));
  HRESULT hr = vorn_store::DeriveHeaderFields(held, mime, &fields);
  if (FAILED(hr)) return hr;
  const std::string& raw = *held;
  MessageInfo& info = message->info;
  info.size = static_cast<DWORD>(std::min<size_t>(raw.size(), 0xFFFFFFFFu));
  info.priority = fields.priority;
  info.language = fields.language;
  info.sent = fields.sent;
  info.subject = fields.subject;
  info.normalSubject = fields.normalSubject;
  info.displayFrom = fields.displayFrom;
  info.displayTo = fields.displayTo;
  info.flags = (info.flags & MSGFLAG_READ) | (fields.hasAttachment ? MSGFLAG_ATTACHMENT : 0);
  message->digest = vorn_store::ComputeDigest(raw.data(), raw.size());
  return S_OK;
}

HRESULT Store::Sync(STOREFOLDERID id, CachedFolder* state, std::vector<Claim>* claims) {
  HRESULT hr = Connected();
  if (FAILED(hr)) return hr;
  CachedFolder folder;
  if (FAILED(hr = cache_->GetFolder(id, &folder))) return hr;
  // The mailbox is selected and stays so: a server answers STATUS of the
  // selected mailbox from the open mailbox, where for any other it opens
  // the mailbox afresh (for a large Maildir, a tenth of a second and more
  // each time). Selected, it tells of others' changes only at a command.
  MailboxStatus now;
  auto ask = [&]() -> HRESULT {
    HRESULT asked = client_.selected() == folder.mailbox ? client_.Noop()
                                                         : client_.Select(folder.mailbox);
    if (SUCCEEDED(asked)) asked = client_.Status(folder.mailbox, &now);
    if (asked == STG_E_FILENOTFOUND) {
      // The mailbox is gone (removed by another client, or never selectable).
      Refresh();
      return FindNode(id) ? S_FALSE : STG_E_REVERTED;
    }
    return asked;
  };
  if ((hr = ask()) != S_OK) return hr;
  *state = folder;
  if (SameStatus(now, folder.status) && !claims) return S_OK;
  // What the cache holds is read before the server is asked again: a
  // message that another process on this cache appended and recorded since
  // is then not taken for one the server no longer has, should this
  // session's view of the mailbox not have shown it yet.
  std::vector<CachedUid> cached;
  if (FAILED(hr = cache_->ListUids(id, &cached))) return hr;
  if ((hr = ask()) != S_OK) return hr;
  bool sameValidity = now.uidValidity == folder.status.uidValidity;
  if (!sameValidity) {
    // Identifiers of an earlier UIDVALIDITY name messages that are gone.
    if (FAILED(hr = cache_->DropOtherValidity(id, now.uidValidity))) return hr;
  }
  cached.erase(std::remove_if(cached.begin(), cached.end(),
                              [&](const CachedUid& m) { return m.uidValidity != now.uidValidity; }),
               cached.end());
  // In UID order (one validity left): found by binary search.
  auto findUid = [&](uint32_t uid) -> CachedUid* {
    auto at = std::lower_bound(cached.begin(), cached.end(), uid,
                               [](const CachedUid& m, uint32_t u) { return m.uid < u; });
    return at != cached.end() && at->uid == uid ? &*at : nullptr;
  };

  if (cached.empty() && !claims) {
    // Nothing of the folder in the cache yet: every message is new, and is
    // fetched by its place without asking for the list of UIDs first.
    if (FAILED(hr = FetchNew(id, now.uidValidity, {}, nullptr, now.messages))) return hr;
    if (FAILED(hr = cache_->SaveStatus(id, now))) return hr;
    state->status = now;
    return S_OK;
  }
  std::vector<FetchedMessage> seen;
  bool complete = false;
  if (now.messages == 0) {
    complete = true;
  } else if (client_.HasCondStore() && sameValidity && folder.status.highestModSeq != 0) {
    // Only what changed since the last listing; the full list of UIDs
    // only when messages went away.
    if (FAILED(hr = client_.Fetch({}, false, folder.status.highestModSeq, &seen))) return hr;
    size_t added = 0;
    for (const FetchedMessage& m : seen) added += findUid(m.uid) ? 0 : 1;
    complete = false;
    if (cached.size() + added != now.messages) {
      if (FAILED(hr = client_.Fetch({}, false, 0, &seen))) return hr;
      complete = true;
    }
  } else {
    if (FAILED(hr = client_.Fetch({}, false, 0, &seen))) return hr;
    complete = true;
  }

  std::vector<uint32_t> fresh;
  std::vector<bool> present(cached.size(), false);
  hr = cache_->InTransaction([&]() -> HRESULT {
    HRESULT step;
    for (const FetchedMessage& m : seen) {
      CachedUid* found = findUid(m.uid);
      if (!found) {
        fresh.push_back(m.uid);
        continue;
      }
      present[static_cast<size_t>(found - cached.data())] = true;
      DWORD flags = (found->flags & ~MSGFLAG_READ) | (m.seen ? MSGFLAG_READ : 0);
      if (flags != found->flags && FAILED(step = cache_->SetFlags(found->id, flags))) {
        return step;
      }
    }
    if (complete) {
      for (size_t i = 0; i < cached.size(); ++i) {
        if (!present[i] &&
            FAILED(step = cache_->DropMessage(cached[i].id, id, now.uidValidity, cached[i].uid))) {
          return step;
        }
      }
    }
    return S_OK;
  });
  if (FAILED(hr)) return hr;

  if (FAILED(hr = FetchNew(id, now.uidValidity, std::move(fresh), claims))) return hr;
  if (FAILED(hr = cache_->SaveStatus(id, now))) return hr;
  state->status = now;
  return S_OK;
}

HRESULT Store::FetchNew(STOREFOLDERID folder, uint32_t uidValidity, std::vector<uint32_t> uids,
                        std::vector<Claim>* claims, uint32_t count) {
  if (uids.empty() && count == 0) return S_OK;
  HRESULT hr = LoadMimeClass();
  if (FAILED(hr)) return hr;
  std::sort(uids.begin(), uids.end());
  // Three things go on at once: the fetcher's thread reads the next runs
  // from the server, this thread parses the last run, and a writer's thread
  // stores the runs parsed before (each commit waits for the disk, so rows
  // go in large transactions). (Parsing on two threads was slower: GLib's
  // object system takes locks that the threads then wait for.)
  std::vector<CachedMessage> described;
  std::vector<CachedMessage> writing;  // outlives `written`, which uses it
  std::future<HRESULT> written;
  auto write = [&]() -> HRESULT {
    HRESULT before = written.valid() ? written.get() : S_OK;
    if (FAILED(before)) return before;
    writing = std::move(described);
    described.clear();
    written = std::async(std::launch::async, [this, &writing] { return PutFetched(&writing); });
    return S_OK;
  };
  BodyFetcher fetcher(&client_, std::move(uids), kBodiesPerFetch, count);
  std::vector<FetchedMessage> bodies;
  HRESULT fetched;
  while ((fetched = fetcher.Next(&bodies)) == S_OK) {
    std::sort(bodies.begin(), bodies.end(),
              [](const FetchedMessage& a, const FetchedMessage& b) { return a.uid < b.uid; });
    // A message expunged meanwhile may come without its text.
    bodies.erase(std::remove_if(bodies.begin(), bodies.end(),
                                [](const FetchedMessage& m) { return !m.hasRaw; }),
                 bodies.end());
    const size_t base = described.size();
    described.resize(base + bodies.size());
    for (size_t i = 0; i < bodies.size(); ++i) {
      CachedMessage& message = described[base + i];
      message.folder = folder;
      message.uidValidity = uidValidity;
      message.uid = bodies[i].uid;
      message.info.flags = bodies[i].seen ? MSGFLAG_READ : 0;
      message.info.received = bodies[i].received;
      if (FAILED(hr = Describe(mime_.Get(), std::move(bodies[i].raw), &message))) return hr;
    }
    if (claims) {
      for (size_t i = base; i < described.size(); ++i) TakeClaim(claims, &described[i]);
    }
    // The first run goes in at once: a listing cut off early keeps it.
    if ((described.size() >= kRowsPerTransaction || !written.valid()) && FAILED(hr = write())) {
      return hr;
    }
  }
  // What came before a failure is kept: the next sync need not fetch it.
  if (FAILED(hr = write())) return hr;
  if (FAILED(hr = written.get())) return hr;
  return fetched == S_FALSE ? S_OK : fetched;
}

void Store::TakeClaim(std::vector<Claim>* claims, CachedMessage* message) {
  for (Claim& claim : *claims) {
    if (claim.taken) continue;
    if (claim.digest == message->digest ||
        (claim.bareLf && claim.crLfDigest == message->digest)) {
      claim.taken = true;
      message->info.id = claim.id;
      message->bareLf = claim.bareLf;
      message->digest = claim.digest;
      message->info.size = claim.size;
      return;
    }
  }
}

HRESULT Store::PutFetched(std::vector<CachedMessage>* messages) {
  if (messages->empty()) return S_OK;
  return cache_->InTransaction([&]() -> HRESULT {
    // Another process on this cache may have recorded some meanwhile: their
    // identifiers stay.
    std::vector<CachedMessage*> unknown;
    // One sync's messages are of one folder and UIDVALIDITY.
    std::vector<uint32_t> gone;
    bool goneRead = false;
    HRESULT hr;
    for (CachedMessage& message : *messages) {
      if (message.info.id != 0) continue;
      MESSAGEID known = 0;
      if (FAILED(hr = cache_->FindByUid(message.folder, message.uidValidity, message.uid,
                                        &known))) {
        return hr;
      }
      if (hr == S_OK) {
        message.uid = 0;  // recorded by the other: its row stays as it is
        continue;
      }
      // Moved or removed by the other since it was fetched: not recorded
      // anew under an identifier of its own.
      if (!goneRead) {
        if (FAILED(hr = cache_->GoneUids(message.folder, message.uidValidity, &gone))) return hr;
        goneRead = true;
      }
      if (std::binary_search(gone.begin(), gone.end(), message.uid)) {
        message.uid = 0;
      } else {
        unknown.push_back(&message);
      }
    }
    MESSAGEID next = 0;
    if (!unknown.empty() &&
        FAILED(hr = cache_->AllocateMessageIds(static_cast<uint32_t>(unknown.size()), &next))) {
      return hr;
    }
    for (CachedMessage* message : unknown) message->info.id = next++;
    for (const CachedMessage& message : *messages) {
      if (message.uid != 0 && FAILED(hr = cache_->PutMessage(message))) return hr;
    }
    return S_OK;
  });
}

HRESULT Store::ListMessages(STOREFOLDERID folder, MESSAGEID from, size_t limit,
                            std::vector<MessageInfo>* out) {
  std::lock_guard lock(mutex_);
  out->clear();
  CachedFolder state;
  HRESULT hr = Sync(folder, &state);
  if (FAILED(hr)) return hr == STG_E_FILENOTFOUND ? STG_E_REVERTED : hr;
  if (hr == S_FALSE) return S_OK;  // not selectable: holds no messages
  hr = cache_->ListMessageInfo(folder, from, limit, out);
  if (FAILED(hr)) out->clear();
  return FAILED(hr) ? hr : S_OK;
}

HRESULT Store::ListMoreMessages(STOREFOLDERID folder, MESSAGEID from, size_t limit,
                                std::vector<MessageInfo>* out) {
  std::lock_guard lock(mutex_);
  HRESULT hr = cache_->ListMessageInfo(folder, from, limit, out);
  if (FAILED(hr)) out->clear();
  return FAILED(hr) ? hr : S_OK;
}

HRESULT Store::GetMessage(STOREFOLDERID folder, MESSAGEID id, MessageInfo* out) {
  std::lock_guard lock(mutex_);
  CachedMessage message;
  HRESULT hr = cache_->GetMessage(folder, id, &message);
  if (hr == STG_E_FILENOTFOUND) {
    CachedFolder state;
    if (FAILED(hr = Sync(folder, &state))) return hr;
    hr = cache_->GetMessage(folder, id, &message);
  }
  if (FAILED(hr)) return hr;
  *out = std::move(message.info);
  return S_OK;
}

HRESULT Store::ReadMessageText(STOREFOLDERID folder, MESSAGEID id, std::string* raw) {
  std::lock_guard lock(mutex_);
  HRESULT hr = Connected();
  if (FAILED(hr)) return hr;
  CachedFolder state;
  CachedMessage message;
  if (FAILED(hr = cache_->GetFolder(folder, &state))) return STG_E_REVERTED;
  if (FAILED(hr = cache_->GetMessage(folder, id, &message))) return hr;
  // A session that has the mailbox selected hears of another client's
  // expunge only at its next command: without that, the server may still
  // hand out a message that is gone.
  if (client_.selected() == state.mailbox && FAILED(hr = client_.Noop())) return hr;
  if (FAILED(hr = client_.Select(state.mailbox))) return hr;
  std::vector<FetchedMessage> fetched;
  if (FAILED(hr = client_.Fetch({message.uid}, true, 0, &fetched))) return hr;
  if (fetched.empty() || !fetched[0].hasRaw) {
    // Expunged by another client.
    cache_->DropMessage(id, folder, message.uidValidity, message.uid);
    return STG_E_FILENOTFOUND;
  }
  *raw = std::move(fetched[0].raw);
  if (message.bareLf) DropCr(raw);
  return S_OK;
}

Store::~Store() { ReturnReserved(); }

HRESULT Store::ReserveMessageId(MESSAGEID* id) {
  std::lock_guard lock(mutex_);
  // Taken from the cache a run at a time: each taking is a transaction
  // that waits for the disk.
  if (reservedNext_ == reservedEnd_) {
    MESSAGEID first = 0;
    HRESULT hr = cache_->AllocateMessageIds(kReservedRun, &first);
    if (FAILED(hr)) return hr;
    reservedNext_ = first;
    reservedEnd_ = first + kReservedRun;
  }
  *id = reservedNext_++;
  return S_OK;
}

void Store::ReturnReserved() {
  if (reservedNext_ < reservedEnd_) cache_->ReturnMessageIds(reservedNext_, reservedEnd_);
  reservedNext_ = reservedEnd_ = 0;
}

HRESULT Store::Append(STOREFOLDERID folder, const std::vector<NewMail>& mails,
                      std::vector<MESSAGEID>* ids) {
  std::lock_guard lock(mutex_);
  struct GiveBack {
    Store* store;
    ~GiveBack() { store->ReturnReserved(); }
  } giveBack{this};
  if (ids) ids->clear();
  CachedFolder state;
  HRESULT hr = Sync(folder, &state);
  if (hr == S_FALSE) return STG_E_ACCESSDENIED;  // a mailbox that holds no messages
  if (FAILED(hr)) return hr == STG_E_FILENOTFOUND ? STG_E_REVERTED : hr;
  if (FAILED(hr = LoadMimeClass())) return hr;
  std::vector<Claim> claims;
  std::vector<CachedMessage> described(mails.size());
  std::vector<ImapClient::Appended> sending;
  for (size_t i = 0; i < mails.size(); ++i) {
    const NewMail& mail = mails[i];
    if (mail.raw.size() > vorn_store::kMaxMessageSize) return STG_E_MEDIUMFULL;
    CachedMessage& message = described[i];
    message.folder = folder;
    message.info.flags = mail.seen ? MSGFLAG_READ : 0;
    message.info.received = mail.received ? mail.received : vorn_rt::NowTicks();
    message.bareLf = HasBareLineFeeds(mail.raw);
    message.info.id = mail.reserved;
    if (message.info.id == 0 && FAILED(hr = cache_->AllocateMessageId(&message.info.id))) {
      return hr;
    }
    sending.push_back(ImapClient::Appended{&mail.raw, mail.seen, message.info.received});
  }
  // The messages are parsed for their fields while the server stores them.
  // (Parsing fails only when no message object can be made, short of
  // memory: what the server stored then shows at the next listing.)
  HRESULT parsed = S_OK;
  std::thread parser([&] {
    for (size_t i = 0; i < mails.size() && SUCCEEDED(parsed); ++i) {
      parsed = Describe(mime_.Get(), mails[i].raw, &described[i]);
    }
  });
  std::vector<HRESULT> results;
  std::vector<uint32_t> uids;
  uint32_t validity = 0;
  HRESULT sent = S_OK;
  std::vector<bool> stored(mails.size(), false);
  HRESULT refused = S_OK;
  HRESULT synced = S_OK;
  // The cache's write lock is held from before the APPEND until its answers
  // are recorded (or, without APPENDUID, the messages found by content): a
  // listing in another process on this cache that sees the new messages on
  // the server waits, and then finds them recorded under the identifiers
  // they were given here, instead of recording them under identifiers of
  // its own that this record would then take away.
  hr = cache_->InTransaction([&]() -> HRESULT {
    sent = client_.AppendPipelined(state.mailbox, sending, &results, &uids, &validity);
    parser.join();
    if (FAILED(parsed)) return parsed;
    if (FAILED(sent) && client_.connected()) return sent;
    // A lost connection leaves the messages without an answer in doubt: they
    // may have been stored. They are not sent again; the listing after a new
    // connection looks for them by content, and only those not found failed.
    for (size_t i = 0; i < mails.size(); ++i) {
      CachedMessage& message = described[i];
      bool inDoubt = FAILED(sent) && results[i] == ImapClient::kNoAnswer;
      if (FAILED(results[i]) && !inDoubt) {
        // Refused: later messages of a run may still have been stored.
        if (SUCCEEDED(refused)) refused = results[i];
        continue;
      }
      if (!inDoubt && uids[i] != 0 && validity == state.status.uidValidity) {
        message.uidValidity = validity;
        message.uid = uids[i];
        stored[i] = true;
        HRESULT step = cache_->PutMessage(message);
        if (FAILED(step)) return step;
        continue;
      }
      // Without APPENDUID the next listing finds it by its digest.
      Claim claim;
      claim.id = message.info.id;
      claim.digest = message.digest;
      claim.bareLf = message.bareLf;
      if (claim.bareLf) {
        std::string crLf = WithCrLf(mails[i].raw);
        claim.crLfDigest = vorn_store::ComputeDigest(crLf.data(), crLf.size());
      }
      claim.size = message.info.size;
      claim.mail = i;
      claim.inDoubt = inDoubt;
      stored[i] = !inDoubt;
      claims.push_back(claim);
    }
    // A failed search keeps what was recorded above.
    CachedFolder after;
    if (!claims.empty()) synced = Sync(folder, &after, &claims);
    return S_OK;
  });
  if (parser.joinable()) parser.join();  // the transaction did not begin
  if (FAILED(hr)) return hr;
  if (!claims.empty()) {
    if (FAILED(synced)) return FAILED(sent) ? sent : synced;
    for (const Claim& claim : claims) stored[claim.mail] = stored[claim.mail] || claim.taken;
  }
  if (ids) {
    for (size_t i = 0; i < mails.size(); ++i) {
      if (stored[i]) ids->push_back(described[i].info.id);
    }
  }
  bool missing = std::any_of(claims.begin(), claims.end(),
                             [](const Claim& claim) { return claim.inDoubt && !claim.taken; });
  if (missing) {
    VornSetFailureReason(("the connection to the IMAP server was lost while storing into " +
                          DecodeMailboxName(state.mailbox) +
                          "; what did not arrive was not sent again")
                             .c_str());
    return SUCCEEDED(refused) ? sent : refused;
  }
  return refused;
}

HRESULT Store::Resolve(STOREFOLDERID folder, const std::vector<MESSAGEID>& ids,
                       CachedFolder* state, std::vector<CachedMessage>* out) {
  HRESULT hr = Sync(folder, state);
  if (hr == S_FALSE) return STG_E_FILENOTFOUND;
  if (FAILED(hr)) return hr == STG_E_FILENOTFOUND ? STG_E_REVERTED : hr;
  out->clear();
  for (MESSAGEID id : ids) {
    out->emplace_back();
    if (FAILED(hr = cache_->GetMessage(folder, id, &out->back()))) return hr;
  }
  return client_.Select(state->mailbox);
}

HRESULT Store::MarkMessages(STOREFOLDERID folder, const std::vector<MESSAGEID>& ids, bool read) {
  std::lock_guard lock(mutex_);
  CachedFolder state;
  std::vector<CachedMessage> messages;
  HRESULT hr = Resolve(folder, ids, &state, &messages);
  if (FAILED(hr)) return hr;
  if (FAILED(hr = client_.Store(UidsOf(messages), ImapClient::Flag::kSeen, read))) return hr;
  return cache_->InTransaction([&]() -> HRESULT {
    for (const CachedMessage& m : messages) {
      DWORD flags = (m.info.flags & ~MSGFLAG_READ) | (read ? MSGFLAG_READ : 0);
      HRESULT step = cache_->SetFlags(m.info.id, flags);
      if (FAILED(step)) return step;
    }
    return S_OK;
  });
}

HRESULT Store::CheckExpungeSafe(const std::string& mailbox, const std::vector<uint32_t>& uids) {
  if (client_.HasUidPlus()) return S_OK;
  // A search runs on this session's view of the mailbox, which still holds
  // messages another session has expunged until the server has told this
  // one; a NOOP lets it.
  HRESULT hr = client_.Noop();
  if (FAILED(hr)) return hr;
  std::vector<uint32_t> marked;
  hr = client_.SearchDeleted(&marked);
  if (FAILED(hr)) return hr;
  for (uint32_t uid : marked) {
    if (std::find(uids.begin(), uids.end(), uid) == uids.end()) {
      VornSetFailureReason(("the IMAP server offers no UIDPLUS, and other messages of " +
                            DecodeMailboxName(mailbox) +
                            " are marked deleted: removing one would expunge them too")
                               .c_str());
      return E_ACCESSDENIED;
    }
  }
  return S_OK;
}

HRESULT Store::Expunge(const std::string& mailbox, const std::vector<uint32_t>& uids) {
  HRESULT hr = CheckExpungeSafe(mailbox, uids);
  if (FAILED(hr)) return hr;
  if (FAILED(hr = client_.Store(uids, ImapClient::Flag::kDeleted, true))) return hr;
  return client_.Expunge(client_.HasUidPlus() ? uids : std::vector<uint32_t>{});
}

HRESULT Store::DeleteMessages(STOREFOLDERID folder, const std::vector<MESSAGEID>& ids) {
  std::lock_guard lock(mutex_);
  CachedFolder state;
  std::vector<CachedMessage> messages;
  HRESULT hr = Resolve(folder, ids, &state, &messages);
  if (FAILED(hr)) return hr;
  if (messages.empty()) return S_OK;
  // Under the cache's write lock, so that another program of this root is
  // never between marking its messages and expunging them when this one
  // looks for other deleted messages.
  return cache_->InTransaction([&]() -> HRESULT {
    HRESULT expunged = Expunge(state.mailbox, UidsOf(messages));
    if (FAILED(expunged)) return expunged;
    for (const CachedMessage& m : messages) {
      HRESULT step = cache_->DropMessage(m.info.id, m.folder, m.uidValidity, m.uid);
      if (FAILED(step)) return step;
    }
    return S_OK;
  });
}

HRESULT Store::CopyMoveMessages(STOREFOLDERID source, STOREFOLDERID destination,
                                const std::vector<MESSAGEID>& ids, bool move,
                                DWORD flagsToRemove) {
  std::lock_guard lock(mutex_);
  CachedFolder to;
  HRESULT hr = Sync(destination, &to);
  if (hr == S_FALSE) return STG_E_ACCESSDENIED;
  if (FAILED(hr)) return hr == STG_E_FILENOTFOUND ? STG_E_REVERTED : hr;
  CachedFolder from;
  std::vector<CachedMessage> messages;
  if (FAILED(hr = Resolve(source, ids, &from, &messages))) return hr;
  if (messages.empty() || (move && source == destination)) return S_OK;
  std::vector<uint32_t> uids = UidsOf(messages);
  std::map<uint32_t, const CachedMessage*> byUid;
  for (const CachedMessage& m : messages) byUid[m.uid] = &m;

  if (!move && !client_.HasUidPlus()) {
    // Without COPYUID the copies could not be told apart to drop their
    // flags: each is written again with the flags it is to have.
    for (const CachedMessage& m : messages) {
      std::vector<FetchedMessage> fetched;
      if (FAILED(hr = client_.Select(from.mailbox))) return hr;
      if (FAILED(hr = client_.Fetch({m.uid}, true, 0, &fetched))) return hr;
      if (fetched.empty()) return STG_E_FILENOTFOUND;
      bool seen = fetched[0].seen && !(flagsToRemove & MSGFLAG_READ);
      uint32_t validity = 0;
      uint32_t uid = 0;
      if (FAILED(hr = client_.Append(to.mailbox, fetched[0].raw, seen, fetched[0].received,
                                     &validity, &uid))) {
        return hr;
      }
    }
    return S_OK;
  }
  std::vector<std::pair<uint32_t, uint32_t>> pairs;
  uint32_t validity = 0;
  std::vector<uint32_t> unseen;  // copies that are to lose the read flag
  // As for an append, the cache's write lock is held from before the copy
  // until the copies are recorded under their identifiers. A move by copy
  // and expunge checks for other deleted messages under that lock too:
  // another program of this root marks its own only while holding it.
  hr = cache_->InTransaction([&]() -> HRESULT {
    HRESULT step = S_OK;
    if (move && !client_.HasMove() && FAILED(step = CheckExpungeSafe(from.mailbox, uids))) {
      return step;
    }
    step = client_.Copy(uids, to.mailbox, move && client_.HasMove(), &pairs, &validity);
    if (FAILED(step)) return step;
    if (move && !client_.HasMove() && FAILED(step = Expunge(from.mailbox, uids))) return step;
    for (const auto& [oldUid, newUid] : pairs) {
      auto found = byUid.find(oldUid);
      if (found == byUid.end() || validity != to.status.uidValidity) continue;
      CachedMessage copy = *found->second;
      copy.folder = destination;
      copy.uidValidity = validity;
      copy.uid = newUid;
      if (!move) {
        if ((copy.info.flags & MSGFLAG_READ) && (flagsToRemove & MSGFLAG_READ)) {
          unseen.push_back(newUid);
          copy.info.flags &= ~MSGFLAG_READ;
        }
        if (FAILED(step = cache_->AllocateMessageId(&copy.info.id))) return step;
      }
      // A moved message keeps its identifier; its place in the source is gone.
      if (FAILED(step = cache_->PutMessage(copy))) return step;
      if (move && FAILED(step = cache_->MarkGone(found->second->folder,
                                                  found->second->uidValidity, oldUid))) {
        return step;
      }
    }
    if (move) {
      for (const CachedMessage& m : messages) {
        bool kept = std::any_of(pairs.begin(), pairs.end(),
                                [&](const auto& p) { return p.first == m.uid; }) &&
                    validity == to.status.uidValidity;
        if (!kept && FAILED(step = cache_->DropMessage(m.info.id, m.folder, m.uidValidity, m.uid))) {
          return step;
        }
      }
    }
    return S_OK;
  });
  if (FAILED(hr)) return hr;
  if (!unseen.empty()) {
    if (FAILED(hr = client_.Select(to.mailbox))) return hr;
    if (FAILED(hr = client_.Store(unseen, ImapClient::Flag::kSeen, false))) return hr;
  }
  return S_OK;
}

HRESULT Store::FindByDigest(const vorn_store::Digest& digest, STOREFOLDERID* folder,
                            MESSAGEID* id) {
  std::lock_guard lock(mutex_);
  return cache_->FindByDigest(digest, folder, id);
}

}  // namespace vorn_imap
