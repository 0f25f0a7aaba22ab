#include "tests/services/store/io_fault_sweep.h"

#include <sqlite3.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cinttypes>
#include <cstdio>
#include <filesystem>
#include <random>
#include <sstream>

#include "platform/store_import.h"
#include "runtime/com_ptr.h"
#include "tests/services/store/stress_support.h"
#include "tests/support/temp_root.h"

namespace store_faults {
namespace {

using store_stress::CommitMessage;
using store_stress::DumpStore;
using store_stress::FindFolder;
using store_stress::FolderRow;
using store_stress::IntegrityCheck;
using store_stress::MakeStressMessage;
using store_stress::MessageRow;
using store_stress::OpenStore;
using store_stress::ReadMessageText;
using store_stress::StoreFilePath;

namespace fs = std::filesystem;

constexpr const char* kStoreFiles[] = {"store.db", "store.db-wal", "store.db-shm",
                                       "store.db-journal"};

std::string Hex(HRESULT hr) {
  char text[16];
  std::snprintf(text, sizeof text, "%08" PRIx32, static_cast<uint32_t>(hr));
  return text;
}

// The first line where two dumps differ, for a short failure message.
std::string FirstDifference(const std::string& got, const std::string& wanted) {
  std::istringstream a(got), b(wanted);
  std::string x, y;
  for (int line = 1;; ++line) {
    const bool moreA = static_cast<bool>(std::getline(a, x));
    const bool moreB = static_cast<bool>(std::getline(b, y));
    if (!moreA && !moreB) return "no difference";
    if (!moreA) x = "(end)";
    if (!moreB) y = "(end)";
    if (x != y) return "line " + std::to_string(line) + " is '" + x + "', expected '" + y + "'";
  }
}

// PRAGMA user_version of the database file, read past the store; -1 when
// it cannot be read.
int UserVersion(const std::string& file) {
  sqlite3* db = nullptr;
  sqlite3_stmt* stmt = nullptr;
  int version = -1;
  if (sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK &&
      sqlite3_prepare_v2(db, "PRAGMA user_version", -1, &stmt, nullptr) == SQLITE_OK &&
      sqlite3_step(stmt) == SQLITE_ROW) {
    version = sqlite3_column_int(stmt, 0);
  }
  sqlite3_finalize(stmt);
  sqlite3_close(db);
  return version;
}

struct MessageIds {
  explicit MessageIds(std::vector<MESSAGEID> list) : ids(std::move(list)) {
    value.cbSize = CB_MESSAGEIDLIST;
    value.cMsgs = static_cast<ULONG>(ids.size());
    value.prgdwMsgId = ids.data();
  }
  std::vector<MESSAGEID> ids;
  MESSAGEIDLIST value;
};

// Every folder and message identifier the store holds.
void CollectIds(IStoreNamespace* store, STOREFOLDERID parent, Handed* ids) {
  std::vector<FolderRow> folders;
  store_stress::ListFolders(store, parent, &folders);
  for (const FolderRow& f : folders) {
    ids->folders.push_back(f.id);
    ComPtr<IStoreFolder> folder;
    if (SUCCEEDED(store->OpenFolder(f.id, 0, folder.Put()))) {
      std::vector<MessageRow> messages;
      store_stress::ListMessages(folder.Get(), &messages);
      for (const MessageRow& m : messages) ids->messages.push_back(m.id);
    }
    CollectIds(store, f.id, ids);
  }
}

// The messages the operations store: fixed, so that every run stores the
// same bytes as the clean run.
const std::vector<std::string>& Messages() {
  static const std::vector<std::string> messages = [] {
    std::mt19937_64 random(4040);
    std::vector<std::string> made;
    made.push_back(MakeStressMessage("committed", 3000, random));
    for (int i = 0; i < 100; ++i) {
      made.push_back(
          MakeStressMessage("imported " + std::to_string(i), 400 + 40 * (i % 8), random));
    }
    made.push_back(MakeStressMessage("next", 1500, random));
    return made;
  }();
  return messages;
}

HRESULT OpenFolders(World& w, STOREFOLDERID a, ComPtr<IStoreFolder>* first, STOREFOLDERID b = 0,
                    ComPtr<IStoreFolder>* second = nullptr) {
  HRESULT hr = w.store->OpenFolder(a, 0, first->Put());
  if (SUCCEEDED(hr) && second) hr = w.store->OpenFolder(b, 0, second->Put());
  return hr;
}

HRESULT CreateFolderOp(World& w) {
  STOREFOLDERID id = FOLDERID_INVALID;
  HRESULT hr = w.store->CreateFolder(w.kept, "New", 0, &id);
  if (SUCCEEDED(hr)) w.handed->folders.push_back(id);
  return hr;
}

HRESULT RenameFolderOp(World& w) { return w.store->RenameFolder(w.spare, 0, "Renamed"); }

HRESULT RemoveFolderOp(World& w) { return w.store->DeleteFolder(w.old, 0); }

HRESULT CommitOp(World& w) {
  ComPtr<IStoreFolder> inbox;
  HRESULT hr = OpenFolders(w, w.inbox, &inbox);
  if (FAILED(hr)) return hr;
  MESSAGEID id = MESSAGEID_INVALID;
  hr = CommitMessage(inbox.Get(), Messages()[0], &id, 1000);
  if (id != MESSAGEID_INVALID) w.handed->messages.push_back(id);
  return hr;
}

HRESULT CopyMove(World& w, std::vector<MESSAGEID> ids, DWORD flags) {
  ComPtr<IStoreFolder> kept, other;
  HRESULT hr = OpenFolders(w, w.kept, &kept, w.other, &other);
  if (FAILED(hr)) return hr;
  MessageIds list(std::move(ids));
  return w.store->CopyMoveMessages(kept.Get(), other.Get(), &list.value, flags, 0, nullptr);
}

HRESULT CopyOp(World& w) { return CopyMove(w, {w.keptMessages[1], w.keptMessages[4]}, 0); }

HRESULT MoveOp(World& w) { return CopyMove(w, {w.keptMessages[2], w.keptMessages[3]}, CMF_MOVE); }

HRESULT MarkOp(World& w) {
  ComPtr<IStoreFolder> kept;
  HRESULT hr = OpenFolders(w, w.kept, &kept);
  if (FAILED(hr)) return hr;
  MessageIds list({w.keptMessages[0], w.keptMessages[4], w.keptMessages[5]});
  return kept->MarkMessagesAsRead(TRUE, 0, &list.value);
}

HRESULT RemoveOp(World& w) {
  ComPtr<IStoreFolder> kept;
  HRESULT hr = OpenFolders(w, w.kept, &kept);
  if (FAILED(hr)) return hr;
  MessageIds list({w.keptMessages[3], w.keptMessages[4]});
  return kept->DeleteMessages(&list.value, 0, nullptr);
}

// An importer that goes on after a failed import and commits the batch: the
// store must then refuse the commit rather than keep the batch without the
// failed message.
HRESULT BatchImportOp(World& w) {
  ComPtr<IStoreImport> import;
  HRESULT hr = ComPtr<IStoreNamespace>(w.store).As(&import);
  HBATCHLOCK batch = 0;
  if (FAILED(hr) || FAILED(hr = import->BeginBatch(&batch))) return hr;
  for (int i = 0; i < 100; ++i) {
    const std::string& text = Messages()[1 + i];
    MESSAGEID id = MESSAGEID_INVALID;
    hr = import->ImportMessage(batch, i % 3 ? w.inbox : w.other,
                               reinterpret_cast<const BYTE*>(text.data()),
                               static_cast<ULONG>(text.size()), nullptr, i % 2, &id);
    if (SUCCEEDED(hr)) w.handed->batchMessages.push_back(id);
  }
  return import->CommitBatch(batch);
}

// The store was opened (created, recovered) by the sweep; it must list its
// folders.
HRESULT OpenRecoveringOp(World& w) {
  std::vector<FolderRow> rows;
  HRESULT hr = store_stress::ListFolders(w.store, FOLDERID_ROOT, &rows);
  return SUCCEEDED(hr) && rows.empty() ? E_FAIL : hr;
}

// Runs `operation` on `store`, or, for one that opens the store, on a store
// it opens and closes (*opening receives what opening it returned).
HRESULT RunOperation(const Operation& operation, World world, IStoreNamespace* store,
                     HRESULT* opening = nullptr) {
  ComPtr<IStoreNamespace> opened;
  if (operation.opensTheStore) {
    HRESULT hr = OpenStore(&opened);
    if (opening) *opening = hr;
    if (FAILED(hr)) return hr;
    store = opened.Get();
  }
  world.store = store;
  return operation.run(world);
}

struct Sweep {
  IoKind kind;
  Failure failure;
};
constexpr Sweep kSweeps[] = {
    {IoKind::kRead, Failure::kIoError},     {IoKind::kWrite, Failure::kIoError},
    {IoKind::kWrite, Failure::kShortWrite}, {IoKind::kWrite, Failure::kDiskFull},
    {IoKind::kSync, Failure::kIoError},     {IoKind::kTruncate, Failure::kIoError},
    {IoKind::kLock, Failure::kIoError},
};

// A sweep that keeps failing says so a few times, not thousands.
constexpr size_t kMaxFailures = 12;

}  // namespace

const std::vector<Operation>& Operations() {
  static const std::vector<Operation> operations = {
      {"CreateFolder", Start::kStore, false, CreateFolderOp},
      {"RenameFolder", Start::kStore, false, RenameFolderOp},
      {"RemoveFolder", Start::kStore, false, RemoveFolderOp},
      {"CommitMessage", Start::kStore, false, CommitOp},
      {"CopyMessages", Start::kStore, false, CopyOp},
      {"MoveMessages", Start::kStore, false, MoveOp},
      {"MarkMessages", Start::kStore, false, MarkOp},
      {"RemoveMessages", Start::kStore, false, RemoveOp},
      {"BatchImport100", Start::kStore, false, BatchImportOp},
      {"OpenNeedingRecovery", Start::kNeedsRecovery, true, OpenRecoveringOp},
      {"CreateStore", Start::kNoStore, true, OpenRecoveringOp},
      {"UpgradeSchema", Start::kFirstLayout, true, OpenRecoveringOp},
  };
  return operations;
}

struct Sweeper::Template {
  std::vector<std::string> files;  // kept under the sweeper's folder
  STOREFOLDERID inbox = 0;
  std::string dump;                // what the store holds, through its interfaces
  Handed issued;                   // every identifier handed out in making it
};

struct Sweeper::Reference {
  std::string before;  // what the store holds before the operation
  std::string after;   // ... after a clean run
  int syncs = 0;
  std::array<int, kIoKinds> calls{};
};

Sweeper::Sweeper() = default;

Sweeper::~Sweeper() {
  FaultVfs::Get().Disarm();
  if (!folder_.empty()) fs::remove_all(folder_);
}

std::unique_ptr<Sweeper> Sweeper::Create(std::string* error) {
  FaultVfs::Get();  // every connection from here on goes through it
  std::unique_ptr<Sweeper> sweeper(new Sweeper);
  if (FAILED(sweeper->Prepare(error))) return nullptr;
  return sweeper;
}

HRESULT Sweeper::Prepare(std::string* error) {
  const fs::path store = fs::path(StoreFilePath()).parent_path();
  folder_ = store.parent_path() / "starting-stores";
  std::error_code ec;
  fs::create_directories(folder_ + "/plain", ec);
  fs::create_directories(folder_ + "/recovery", ec);
  auto failed = [&](const std::string& what, HRESULT hr) {
    *error = what + ": " + Hex(hr);
    return FAILED(hr) ? hr : E_FAIL;
  };
  auto keep = [&](Template* t, const char* where, const char* file) {
    const std::string to = folder_ + "/" + where + "/" + file;
    if (!fs::copy_file(store / file, to, fs::copy_options::overwrite_existing, ec)) return false;
    t->files.push_back(to);
    return true;
  };

  // A new store, as the server creates it.
  Template* fresh = (templates_[int(Start::kNoStore)] = std::make_unique<Template>()).get();
  if (!Restore(Start::kNoStore, error)) return E_FAIL;
  {
    ComPtr<IStoreNamespace> s;
    HRESULT hr = OpenStore(&s);
    if (FAILED(hr)) return failed("cannot create the store", hr);
    fresh->dump = DumpStore(s.Get());
    fresh->inbox = FindFolder(s.Get(), FOLDERID_ROOT, "Inbox");
    CollectIds(s.Get(), FOLDERID_ROOT, &fresh->issued);
  }

  // The plain store: folders (one removed), messages (one removed, one read,
  // one large enough for overflow pages).
  Template* plain = (templates_[int(Start::kStore)] = std::make_unique<Template>()).get();
  plain->issued = fresh->issued;
  std::mt19937_64 random(40);
  {
    ComPtr<IStoreNamespace> s;
    HRESULT hr = OpenStore(&s);
    if (FAILED(hr)) return failed("cannot open the new store", hr);
    World& w = world_;
    w.inbox = FindFolder(s.Get(), FOLDERID_ROOT, "Inbox");
    STOREFOLDERID gone = 0;
    for (auto [name, id] : {std::pair<const char*, STOREFOLDERID*>{"Kept", &w.kept},
                            {"Spare", &w.spare},
                            {"Old", &w.old},
                            {"Other", &w.other},
                            {"Gone", &gone}}) {
      if (FAILED(hr = s->CreateFolder(FOLDERID_ROOT, name, 0, id))) {
        return failed("CreateFolder", hr);
      }
      plain->issued.folders.push_back(*id);
    }
    if (FAILED(hr = s->DeleteFolder(gone, 0))) return failed("DeleteFolder", hr);
    const size_t keptSizes[] = {1200, 1800, 2500, 3000, 20000, 900};
    auto commit = [&](STOREFOLDERID folder, const std::string& tag, size_t size,
                      MESSAGEID* id) -> HRESULT {
      ComPtr<IStoreFolder> f;
      HRESULT result = s->OpenFolder(folder, 0, f.Put());
      if (SUCCEEDED(result))
        result = CommitMessage(f.Get(), MakeStressMessage(tag, size, random), id);
      if (SUCCEEDED(result)) plain->issued.messages.push_back(*id);
      return result;
    };
    for (size_t i = 0; i < 6; ++i) {
      MESSAGEID id = 0;
      if (FAILED(hr = commit(w.kept, "kept " + std::to_string(i), keptSizes[i], &id))) {
        return failed("committing to Kept", hr);
      }
      w.keptMessages.push_back(id);
    }
    MESSAGEID id = 0, removed = 0;
    if (FAILED(hr = commit(w.old, "old 1", 1500, &id)) ||
        FAILED(hr = commit(w.old, "old 2", 2500, &id)) ||
        FAILED(hr = commit(w.inbox, "inbox 1", 1000, &id)) ||
        FAILED(hr = commit(w.inbox, "inbox 2", 1000, &removed))) {
      return failed("committing", hr);
    }
    ComPtr<IStoreFolder> inbox, kept;
    MessageIds gone1({removed}), read({w.keptMessages[1]});
    if (FAILED(hr = s->OpenFolder(w.inbox, 0, inbox.Put())) ||
        FAILED(hr = inbox->DeleteMessages(&gone1.value, 0, nullptr)) ||
        FAILED(hr = s->OpenFolder(w.kept, 0, kept.Put())) ||
        FAILED(hr = kept->MarkMessagesAsRead(TRUE, 0, &read.value))) {
      return failed("changing messages", hr);
    }
    plain->dump = DumpStore(s.Get());
    plain->inbox = w.inbox;
  }
  // Closed: checkpointed, the WAL gone.
  if (!keep(plain, "plain", "store.db")) return failed("cannot keep the plain store", E_FAIL);

  // The same store with changes committed to its WAL and not yet
  // checkpointed, copied while the connection is open: what a crash leaves.
  Template* recovery =
      (templates_[int(Start::kNeedsRecovery)] = std::make_unique<Template>()).get();
  recovery->issued = plain->issued;
  if (!Restore(Start::kStore, error)) return E_FAIL;
  {
    ComPtr<IStoreNamespace> s;
    HRESULT hr = OpenStore(&s);
    if (FAILED(hr)) return failed("cannot open the plain store", hr);
    STOREFOLDERID folder = 0;
    if (FAILED(hr = s->CreateFolder(FOLDERID_ROOT, "Recovered", 0, &folder))) {
      return failed("CreateFolder", hr);
    }
    recovery->issued.folders.push_back(folder);
    ComPtr<IStoreFolder> inbox;
    if (FAILED(hr = s->OpenFolder(world_.inbox, 0, inbox.Put()))) return failed("OpenFolder", hr);
    for (int i = 0; i < 3; ++i) {
      MESSAGEID id = 0;
      hr = CommitMessage(inbox.Get(), MakeStressMessage("wal " + std::to_string(i), 2500, random),
                         &id);
      if (FAILED(hr)) return failed("committing to the WAL", hr);
      recovery->issued.messages.push_back(id);
    }
    World w = world_;
    w.store = s.Get();
    if (FAILED(hr = MarkOp(w)) || FAILED(hr = MoveOp(w))) return failed("changing messages", hr);
    recovery->dump = DumpStore(s.Get());
    recovery->inbox = world_.inbox;
    if (!keep(recovery, "recovery", "store.db") || !keep(recovery, "recovery", "store.db-wal")) {
      return failed("cannot keep the store that needs recovery", E_FAIL);
    }
  }

  // A store of the first layout: what opening it leaves is the upgraded store.
  Template* first =
      (templates_[int(Start::kFirstLayout)] = std::make_unique<Template>()).get();
  fs::create_directories(folder_ + "/first", ec);
  const std::string firstFile = folder_ + "/first/store.db";
  if (!fs::copy_file(vorn_test::SourceDir() + "/tests/data/store/version1.db", firstFile,
                     fs::copy_options::overwrite_existing, ec)) {
    return failed("cannot copy the first-layout store", E_FAIL);
  }
  first->files.push_back(firstFile);
  if (!Restore(Start::kFirstLayout, error)) return E_FAIL;
  {
    ComPtr<IStoreNamespace> s;
    HRESULT hr = OpenStore(&s);
    if (FAILED(hr)) return failed("cannot upgrade the first-layout store", hr);
    first->dump = DumpStore(s.Get());
    first->inbox = FindFolder(s.Get(), FOLDERID_ROOT, "Inbox");
    CollectIds(s.Get(), FOLDERID_ROOT, &first->issued);
  }
  return S_OK;
}

const Sweeper::Template& Sweeper::TemplateOf(Start start) const {
  return *templates_[static_cast<int>(start)];
}

bool Sweeper::Restore(Start start, std::string* error) {
  const fs::path store = fs::path(StoreFilePath()).parent_path();
  std::error_code ec;
  for (const char* file : kStoreFiles) fs::remove(store / file, ec);
  for (const std::string& from : TemplateOf(start).files) {
    if (!fs::copy_file(from, store / fs::path(from).filename(), ec)) {
      *error = "cannot copy " + from + ": " + ec.message();
      return false;
    }
  }
  return true;
}

bool Sweeper::RunReference(const Operation& operation, Reference* out, SweepFigures* figures) {
  auto fail = [&](const std::string& what) {
    figures->failures.push_back(std::string(operation.name) + " clean run: " + what);
    return false;
  };
  std::string error;
  if (!Restore(operation.start, &error)) return fail(error);
  FaultVfs& vfs = FaultVfs::Get();
  Handed handed;
  World world = world_;
  world.handed = &handed;
  ComPtr<IStoreNamespace> store;
  HRESULT hr = S_OK;
  if (!operation.opensTheStore && FAILED(hr = OpenStore(&store))) return fail("open " + Hex(hr));
  vfs.Count();
  hr = RunOperation(operation, world, store.Get());
  for (int kind = 0; kind < kIoKinds; ++kind) out->calls[kind] = vfs.calls(IoKind(kind));
  out->syncs = vfs.calls(IoKind::kSync);
  vfs.Disarm();
  store = nullptr;
  if (FAILED(hr)) return fail("returned " + Hex(hr));
  if (FAILED(hr = OpenStore(&store))) return fail("reopen " + Hex(hr));
  out->before = TemplateOf(operation.start).dump;
  out->after = DumpStore(store.Get());
  return true;
}

template <class Arm>
bool Sweeper::RunOnce(const Operation& operation, const Reference& reference,
                      const std::string& label, bool powerCut, Arm&& arm, SweepFigures* figures) {
  auto fail = [&](const std::string& what) {
    figures->failures.push_back(std::string(operation.name) + ", " + label + ": " + what);
  };
  std::string error;
  if (!Restore(operation.start, &error)) {
    fail(error);
    return false;
  }
  FaultVfs& vfs = FaultVfs::Get();
  Handed handed;
  World world = world_;
  world.handed = &handed;
  ComPtr<IStoreNamespace> store;
  HRESULT hr = S_OK;
  if (!operation.opensTheStore && FAILED(hr = OpenStore(&store))) {
    fail("cannot open the store before the fault: " + Hex(hr));
    return false;
  }
  arm();
  HRESULT opening = S_OK;
  hr = RunOperation(operation, world, store.Get(), &opening);
  if (powerCut) vfs.CutPowerNow();  // when the operation has made every sync
  const bool fired = vfs.fired();
  ++figures->runs;
  if (fired) ++(powerCut ? figures->powerCuts : figures->faultPoints);

  // What was committed before stays; an operation is all there or not at
  // all, and there exactly when it said it succeeded.
  const std::string* expected = &reference.before;
  // An operation that opens a store has nothing to undo: what was committed
  // before it (or the new store) is there whatever it returned.
  const bool alwaysAfter = operation.start != Start::kStore;
  if (alwaysAfter || SUCCEEDED(hr)) expected = &reference.after;
  const bool eitherWillDo = powerCut && FAILED(hr) && !alwaysAfter;
  auto checkState = [&](const std::string& now, const char* seen) {
    if (eitherWillDo && (now == reference.before || now == reference.after)) {
      ++(now == reference.before ? figures->cutsBefore : figures->cutsAfter);
    } else if (now != *expected) {
      fail("returned " + Hex(hr) + " and " + seen + " " +
           (expected == &reference.after ? "is not as after it: " : "is not as before it: ") +
           FirstDifference(now, *expected));
    } else if (powerCut) {
      ++figures->cutsAfter;
    }
  };
  Handed sameConnection;
  if (powerCut) {
    store = nullptr;  // closed with the power off: nothing more reaches the files
    PowerCutOutcome outcome = vfs.RestoreAfterPowerCut(&error);
    if (!error.empty()) fail(error);
    figures->writesKept += outcome.writesKept;
    figures->writesDropped += outcome.writesDropped;
    if (!fired) fail("the power cut never came");
  } else {
    vfs.Disarm();
    if (store) {
      // The connection that saw the fault reads what is stored and can
      // still write (a reserved identifier, which shows nowhere).
      checkState(DumpStore(store.Get()), "the same connection");
      ComPtr<IStoreFolder> inbox;
      ComPtr<IStream> stream;
      MESSAGEID id = MESSAGEID_INVALID;
      HRESULT next = store->OpenFolder(TemplateOf(operation.start).inbox, 0, inbox.Put());
      if (SUCCEEDED(next)) next = inbox->CreateStream(0, 0, stream.Put(), &id);
      if (FAILED(next)) fail("the same connection cannot reserve a message: " + Hex(next));
      if (SUCCEEDED(next)) sameConnection.messages.push_back(id);
    }
    store = nullptr;
  }

  // An upgrade that failed left the store of the first layout as it was.
  if (!powerCut && FAILED(opening) && operation.start == Start::kFirstLayout &&
      UserVersion(StoreFilePath()) != 1) {
    fail("a failed upgrade left layout " + std::to_string(UserVersion(StoreFilePath())));
  }
  // Reopened first: the store's own open does whatever recovery is due (a
  // read-only check could not roll back a journal a power cut left).
  HRESULT reopened = OpenStore(&store);
  if (FAILED(reopened)) {
    fail("the store does not open again: " + Hex(reopened));
    return fired;
  }
  const std::string integrity = IntegrityCheck(StoreFilePath());
  if (integrity != "ok") fail("integrity check: " + integrity);
  checkState(DumpStore(store.Get()), "the reopened store");

  // The next change works and gets identifiers never handed out (after a
  // power cut, none that a call had returned with its change committed).
  Handed used = TemplateOf(operation.start).issued;
  CollectIds(store.Get(), FOLDERID_ROOT, &used);
  used.folders.insert(used.folders.end(), handed.folders.begin(), handed.folders.end());
  used.messages.insert(used.messages.end(), handed.messages.begin(), handed.messages.end());
  if (!powerCut) {
    used.messages.insert(used.messages.end(), handed.batchMessages.begin(),
                         handed.batchMessages.end());
  }
  for (MESSAGEID id : sameConnection.messages) {
    if (std::find(used.messages.begin(), used.messages.end(), id) != used.messages.end()) {
      fail("message identifier " + std::to_string(id) + " reserved again on the same connection");
    }
    used.messages.push_back(id);
  }
  auto handedBefore = [](const std::vector<uint32_t>& ids, uint32_t id) {
    return std::find(ids.begin(), ids.end(), id) != ids.end();
  };
  STOREFOLDERID folder = 0;
  HRESULT next = store->CreateFolder(FOLDERID_ROOT, "Next", 0, &folder);
  if (FAILED(next)) fail("the next CreateFolder fails: " + Hex(next));
  if (SUCCEEDED(next) && handedBefore(used.folders, folder)) {
    fail("folder identifier " + std::to_string(folder) + " handed out again");
  }
  ComPtr<IStoreFolder> inbox;
  MESSAGEID id = 0;
  std::string text;
  if (FAILED(next = store->OpenFolder(TemplateOf(operation.start).inbox, 0, inbox.Put())) ||
      FAILED(next = CommitMessage(inbox.Get(), Messages().back(), &id)) ||
      FAILED(next = ReadMessageText(inbox.Get(), id, &text))) {
    fail("the next message cannot be committed and read: " + Hex(next));
  } else if (text != Messages().back()) {
    fail("the next message reads back different");
  }
  if (SUCCEEDED(next) && handedBefore(used.messages, id)) {
    fail("message identifier " + std::to_string(id) + " handed out again");
  }
  return fired;
}

SweepFigures Sweeper::SweepFailingCalls(const Operation& operation) {
  SweepFigures figures;
  Reference reference;
  if (!RunReference(operation, &reference, &figures)) return figures;
  FaultVfs& vfs = FaultVfs::Get();
  for (const Sweep& sweep : kSweeps) {
    int fired = 0;
    for (int n = 1; figures.failures.size() < kMaxFailures; ++n) {
      const std::string label = std::string(FailureName(sweep.failure)) + " at " +
                                IoKindName(sweep.kind) + " " + std::to_string(n);
      if (!RunOnce(
              operation, reference, label, false,
              [&] { vfs.FailCall(sweep.kind, n, sweep.failure); }, &figures)) {
        break;
      }
      ++fired;
    }
    figures.detail +=
        std::string(figures.detail.empty() ? "" : ", ") + IoKindName(sweep.kind) +
        (sweep.kind == IoKind::kWrite ? std::string(" (") + FailureName(sweep.failure) + ")" : "") +
        " " + std::to_string(fired);
  }
  return figures;
}

SweepFigures Sweeper::SweepPowerCuts(const Operation& operation, int cuts, uint64_t seed) {
  SweepFigures figures;
  Reference reference;
  if (!RunReference(operation, &reference, &figures)) return figures;
  if (reference.syncs == 0) {
    figures.failures.push_back(std::string(operation.name) + ": no sync to cut the power at");
    return figures;
  }
  // Each operation draws its own cuts from the one seed.
  uint64_t mixed = seed;
  for (const char* c = operation.name; *c; ++c)
    mixed = (mixed ^ static_cast<uint8_t>(*c)) * 1099511628211ULL;
  std::mt19937_64 random(mixed);
  FaultVfs& vfs = FaultVfs::Get();
  for (int i = 0; i < cuts && figures.failures.size() < kMaxFailures; ++i) {
    // At one of the operation's syncs, or once it has returned.
    const int at = 1 + static_cast<int>(random() % static_cast<uint64_t>(reference.syncs + 1));
    const uint64_t keep = random();
    const std::string label = (at > reference.syncs ? "power cut after the operation"
                                                    : "power cut at sync " + std::to_string(at)) +
                              " of " + std::to_string(reference.syncs) + " keeping by " +
                              std::to_string(keep);
    RunOnce(
        operation, reference, label, true, [&] { vfs.CutPowerAt(at, keep); }, &figures);
  }
  figures.detail = std::to_string(reference.syncs) + " syncs";
  return figures;
}

}  // namespace store_faults
