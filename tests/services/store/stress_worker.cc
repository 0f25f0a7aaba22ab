// store_stress_worker: the process the store's stress tests run beside their
// own, so that a store is changed by several processes, killed in the middle
// of a change, or opened by a process that may not write it. It reaches the
// store as any program does, through the registry of VORN_ROOT, and reports
// each step on standard output, one line per step, written with one call.
//
//   crash <seed> <folder> <folder>
//       Commits messages forever: single commits through a stream, imports,
//       batches, abandoned streams and aborted batches. Lines:
//         ready                         the store is open
//         S <op> <id> <folder> <digest> a single commit is about to be made
//         I <op> <folder> <digest>      an import is about to be made
//         B <op> <count>                a batch of <count> imports begins
//         M <op> <id> <folder> <digest> a message of the batch was imported
//         A <op> <id>                   a stream that will never be committed
//         C <op> [<id>]                 the change of <op> returned S_OK
//         X <op>                        the batch of <op> was aborted
//   churn <writer> <seed> <count> <parent> <common>
//       Makes <count> changes below folder <parent>: folders of its own,
//       folders whose names both writers try ("Race-<k>"), messages in its
//       folders and in <common>, moves and marks of its own messages. Lines:
//         folder <id>                   created one of its folders
//         race <k> <id> | lost <k>      won or lost the race for Race-<k>
//         ? <id>                        a message is about to be committed
//         + <id> <folder> <read> <digest>  it was
//         > <folder> <id>...            the messages were moved there
//         r <read> <id>                 the message was marked
//         end
//   readonly <folder> <message>
//       Drops root's privileges when it has them, then tries to read and to
//       change the store. Lines "<call> <status in hex> [detail]", then end.
// A failing call that should not fail is reported as "F ..." and ends the
// worker with status 2.

#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "platform/mime.h"
#include "platform/runtime.h"
#include "platform/store.h"
#include "platform/store_import.h"
#include "runtime/com_ptr.h"
#include "tests/services/store/stress_support.h"

namespace store_stress {
namespace {

std::string Hex(HRESULT hr) {
  char text[16];
  std::snprintf(text, sizeof text, "%08" PRIx32, static_cast<uint32_t>(hr));
  return text;
}

std::string N(uint64_t value) { return std::to_string(value); }

// Reports a failure and gives the status the worker ends with.
int Failed(const std::string& what, HRESULT hr) {
  Report("F " + what + " " + Hex(hr));
  return 2;
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

HRESULT Import(IStoreImport* import, HBATCHLOCK batch, STOREFOLDERID folder,
               const std::string& text, DWORD flags, MESSAGEID* id) {
  return import->ImportMessage(batch, folder, reinterpret_cast<const BYTE*>(text.data()),
                               static_cast<ULONG>(text.size()), nullptr, flags, id);
}

// ---- crash -----------------------------------------------------------------

size_t CrashMessageSize(std::mt19937_64& random) {
  const uint64_t pick = random() % 100;
  if (pick < 70) return 200 + random() % 2800;
  if (pick < 99) return 3000 + random() % 30000;
  return 65536 + random() % (448 * 1024);  // long enough to be killed while writing it
}

int Crash(uint64_t seed, STOREFOLDERID first, STOREFOLDERID second) {
  ComPtr<IStoreNamespace> store;
  HRESULT hr = OpenStore(&store);
  if (FAILED(hr)) return Failed("open", hr);
  ComPtr<IStoreImport> import;
  if (FAILED(hr = store.As(&import))) return Failed("import", hr);
  const STOREFOLDERID ids[2] = {first, second};
  ComPtr<IStoreFolder> folders[2];
  for (int i = 0; i < 2; ++i) {
    if (FAILED(hr = store->OpenFolder(ids[i], 0, folders[i].Put()))) return Failed("folder", hr);
  }
  Report("ready");

  std::mt19937_64 random(seed);
  const std::string prefix = "crash " + N(seed) + " ";
  for (uint64_t op = 0; op < 1000000; ++op) {
    const std::string tag = prefix + N(op);
    const std::string o = N(op);
    const uint64_t kind = random() % 100;
    const int pick = static_cast<int>(random() % 2);
    IStoreFolder* folder = folders[pick].Get();
    if (kind < 45) {
      const std::string text = MakeStressMessage(tag, CrashMessageSize(random), random);
      ComPtr<IStream> stream;
      MESSAGEID id = 0;
      if (FAILED(hr = folder->CreateStream(0, 0, stream.Put(), &id))) {
        return Failed("CreateStream", hr);
      }
      Report("S " + o + " " + N(id) + " " + N(ids[pick]) + " " + DigestHex(import.Get(), text));
      for (size_t at = 0; at < text.size();) {
        ULONG piece = static_cast<ULONG>(std::min<size_t>(1 + random() % 65536, text.size() - at));
        ULONG written = 0;
        if (FAILED(hr = stream->Write(text.data() + at, piece, &written))) {
          return Failed("Write", hr);
        }
        at += piece;
      }
      if (FAILED(hr = folder->CommitStream(0, 0, 0, stream.Get(), id, nullptr))) {
        return Failed("CommitStream", hr);
      }
      Report("C " + o);
    } else if (kind < 65) {
      const std::string text = MakeStressMessage(tag, 200 + random() % 6000, random);
      Report("I " + o + " " + N(ids[pick]) + " " + DigestHex(import.Get(), text));
      MESSAGEID id = 0;
      if (FAILED(hr = Import(import.Get(), 0, ids[pick], text, random() % 2, &id))) {
        return Failed("ImportMessage", hr);
      }
      Report("C " + o + " " + N(id));
    } else if (kind < 92 || kind >= 96) {
      const bool abort = kind >= 96;
      const uint64_t count = 1 + random() % 40;
      HBATCHLOCK batch = 0;
      if (FAILED(hr = import->BeginBatch(&batch))) return Failed("BeginBatch", hr);
      Report("B " + o + " " + N(count));
      for (uint64_t k = 0; k < count; ++k) {
        const int where = static_cast<int>(random() % 2);
        const std::string text =
            MakeStressMessage(tag + "." + N(k), 200 + random() % 4000, random);
        MESSAGEID id = 0;
        if (FAILED(hr = Import(import.Get(), batch, ids[where], text, 0, &id))) {
          return Failed("ImportMessage in a batch", hr);
        }
        Report("M " + o + " " + N(id) + " " + N(ids[where]) + " " +
               DigestHex(import.Get(), text));
      }
      if (abort) {
        if (FAILED(hr = import->AbortBatch(batch))) return Failed("AbortBatch", hr);
        Report("X " + o);
      } else {
        if (FAILED(hr = import->CommitBatch(batch))) return Failed("CommitBatch", hr);
        Report("C " + o);
      }
    } else {
      // A stream written and released without a commit stores nothing.
      ComPtr<IStream> stream;
      MESSAGEID id = 0;
      if (FAILED(hr = folder->CreateStream(0, 0, stream.Put(), &id))) {
        return Failed("CreateStream", hr);
      }
      Report("A " + o + " " + N(id));
      const std::string text = MakeStressMessage(tag, 200 + random() % 3000, random);
      ULONG written = 0;
      stream->Write(text.data(), static_cast<ULONG>(text.size()), &written);
    }
  }
  return 3;  // never reached in a test: the worker is killed long before
}

// ---- churn -----------------------------------------------------------------

int Churn(int writer, uint64_t seed, int count, STOREFOLDERID parent, STOREFOLDERID common) {
  ComPtr<IStoreNamespace> store;
  HRESULT hr = OpenStore(&store);
  if (FAILED(hr)) return Failed("open", hr);
  ComPtr<IStoreImport> import;
  if (FAILED(hr = store.As(&import))) return Failed("import", hr);

  std::mt19937_64 random(seed);
  std::vector<STOREFOLDERID> mine = {common};
  std::map<STOREFOLDERID, ComPtr<IStoreFolder>> open;
  std::vector<MESSAGEID> messages;
  std::map<MESSAGEID, STOREFOLDERID> where;
  auto folder = [&](STOREFOLDERID id) -> IStoreFolder* {
    ComPtr<IStoreFolder>& slot = open[id];
    if (!slot) store->OpenFolder(id, 0, slot.Put());
    return slot.Get();
  };
  int ownFolders = 0;

  for (int op = 0; op < count; ++op) {
    const uint64_t kind = random() % 100;
    if (kind < 8 && ownFolders < 8) {
      const std::string name = "w" + N(writer) + "-" + N(ownFolders);
      STOREFOLDERID id = 0;
      if (FAILED(hr = store->CreateFolder(parent, name.c_str(), 0, &id))) {
        return Failed("CreateFolder " + name, hr);
      }
      ++ownFolders;
      mine.push_back(id);
      Report("folder " + N(id));
    } else if (kind < 14) {
      const std::string k = N(random() % 6);
      const std::string name = "Race-" + k;
      STOREFOLDERID id = 0;
      hr = store->CreateFolder(parent, name.c_str(), 0, &id);
      if (hr == S_OK) {
        Report("race " + k + " " + N(id));
      } else if (hr == STORE_E_ALREADYEXISTS) {
        Report("lost " + k);
      } else {
        return Failed("CreateFolder " + name, hr);
      }
    } else if (kind < 55 || messages.empty() || mine.size() < 2) {
      const STOREFOLDERID target = mine[random() % mine.size()];
      const std::string text = MakeStressMessage("churn w" + N(writer) + " " + N(op),
                                                 300 + random() % 3000, random);
      const DWORD read = random() % 2 ? MSGFLAG_READ : 0;
      IStoreFolder* into = folder(target);
      ComPtr<IStream> stream;
      MESSAGEID id = 0;
      if (!into) return Failed("OpenFolder", E_FAIL);
      if (FAILED(hr = into->CreateStream(0, 0, stream.Put(), &id))) {
        return Failed("CreateStream", hr);
      }
      Report("? " + N(id));
      ULONG written = 0;
      if (FAILED(hr = stream->Write(text.data(), static_cast<ULONG>(text.size()), &written))) {
        return Failed("Write", hr);
      }
      if (FAILED(hr = into->CommitStream(0, 0, read, stream.Get(), id, nullptr))) {
        return Failed("CommitStream", hr);
      }
      messages.push_back(id);
      where[id] = target;
      Report("+ " + N(id) + " " + N(target) + " " + N(read) + " " +
             DigestHex(import.Get(), text));
    } else if (kind < 80) {
      // Up to four messages of one folder move together.
      const MESSAGEID first = messages[random() % messages.size()];
      const STOREFOLDERID from = where[first];
      STOREFOLDERID to = from;
      while (to == from) to = mine[random() % mine.size()];
      std::vector<MESSAGEID> moving = {first};
      for (MESSAGEID id : messages) {
        if (moving.size() < 4 && id != first && where[id] == from && random() % 3 == 0) {
          moving.push_back(id);
        }
      }
      MessageIds list(moving);
      if (FAILED(hr = store->CopyMoveMessages(folder(from), folder(to), &list.value, CMF_MOVE, 0,
                                              nullptr))) {
        return Failed("CopyMoveMessages", hr);
      }
      std::string line = "> " + N(to);
      for (MESSAGEID id : moving) {
        where[id] = to;
        line += " " + N(id);
      }
      Report(line);
    } else {
      const MESSAGEID id = messages[random() % messages.size()];
      const BOOL read = random() % 2 ? TRUE : FALSE;
      MessageIds list({id});
      if (FAILED(hr = folder(where[id])->MarkMessagesAsRead(read, 0, &list.value))) {
        return Failed("MarkMessagesAsRead", hr);
      }
      Report("r " + N(read) + " " + N(id));
    }
  }
  Report("end");
  return 0;
}

// ---- readonly --------------------------------------------------------------

int ReadOnly(STOREFOLDERID folderId, MESSAGEID messageId) {
  // The libraries are loaded first, so that the build folder need not be
  // readable by the user this process becomes; the store itself is opened
  // only afterwards.
  HRESULT hr = CoInitialize(nullptr);
  if (FAILED(hr)) return Failed("CoInitialize", hr);
  ComPtr<IStoreNamespace> store;
  hr = CoCreateInstance(CLSID_StoreNamespace, nullptr, CLSCTX_INPROC_SERVER, IID_IStoreNamespace,
                        store.PutVoid());
  if (FAILED(hr)) return Failed("CoCreateInstance", hr);
  ComPtr<IClassFactory> mime;
  hr = CoGetClassObject(CLSID_VornMimeMessage, CLSCTX_INPROC_SERVER, nullptr, IID_IClassFactory,
                        mime.PutVoid());
  if (FAILED(hr)) return Failed("CoGetClassObject", hr);
  if (geteuid() == 0) {
    // Root writes whatever the permissions say; "nobody" does not.
    const gid_t nobodyGroup = 65534;
    const uid_t nobody = 65534;
    if (setgroups(0, nullptr) != 0 || setgid(nobodyGroup) != 0 || setuid(nobody) != 0) {
      return Failed("drop privileges", E_FAIL);
    }
  }
  Report("uid " + N(geteuid()));
  hr = store->Initialize(nullptr, 0);
  Report("Initialize " + Hex(hr));
  if (FAILED(hr)) {
    Report("end");
    return 0;
  }
  ComPtr<IStoreImport> import;
  store.As(&import);

  std::vector<FolderRow> rows;
  hr = ListFolders(store.Get(), FOLDERID_ROOT, &rows);
  Report("ListFolders " + Hex(hr) + " " + N(rows.size()));
  ComPtr<IStoreFolder> folder;
  hr = store->OpenFolder(folderId, 0, folder.Put());
  Report("OpenFolder " + Hex(hr));
  if (FAILED(hr)) {
    Report("end");
    return 0;
  }
  std::string text;
  hr = ReadMessageText(folder.Get(), messageId, &text);
  Report("OpenMessage " + Hex(hr) + " " + DigestHex(import.Get(), text));

  const std::string message = "From: a@example.org\r\nSubject: refused\r\n\r\nNo.\r\n";
  STOREFOLDERID newFolder = 0;
  Report("CreateFolder " + Hex(store->CreateFolder(FOLDERID_ROOT, "Refused", 0, &newFolder)));
  Report("RenameFolder " + Hex(store->RenameFolder(folderId, 0, "Renamed")));
  ComPtr<IStream> stream;
  MESSAGEID reserved = 0;
  hr = folder->CreateStream(0, 0, stream.Put(), &reserved);
  Report("CreateStream " + Hex(hr));
  MESSAGEID id = 0;
  Report("ImportMessage " + Hex(Import(import.Get(), 0, folderId, message, 0, &id)));
  // A batch fails at its start or, at the latest, at its commit.
  HBATCHLOCK batch = 0;
  hr = import->BeginBatch(&batch);
  if (SUCCEEDED(hr)) {
    const HRESULT imported = Import(import.Get(), batch, folderId, message, 0, &id);
    hr = import->CommitBatch(batch);
    Report("ImportMessage-in-batch " + Hex(imported));
  }
  Report("Batch " + Hex(hr));
  MessageIds list({messageId});
  Report("MarkMessagesAsRead " + Hex(folder->MarkMessagesAsRead(TRUE, 0, &list.value)));
  ComPtr<IStoreFolder> inbox;
  hr = store->OpenFolder(rows.empty() ? 0 : rows.front().id, 0, inbox.Put());
  if (SUCCEEDED(hr)) {
    Report("Copy " + Hex(store->CopyMoveMessages(folder.Get(), inbox.Get(), &list.value, 0, 0,
                                                  nullptr)));
    Report("Move " + Hex(store->CopyMoveMessages(folder.Get(), inbox.Get(), &list.value,
                                                  CMF_MOVE, 0, nullptr)));
  }
  Report("DeleteMessages " + Hex(folder->DeleteMessages(&list.value, 0, nullptr)));
  Report("DeleteFolder " + Hex(store->DeleteFolder(folderId, 0)));
  Report("end");
  return 0;
}

}  // namespace
}  // namespace store_stress

int main(int argc, char** argv) {
  using namespace store_stress;
  const std::vector<std::string> args(argv + 1, argv + argc);
  auto number = [&](size_t i) { return std::strtoull(args.at(i).c_str(), nullptr, 10); };
  try {
    if (args.size() == 1 + 3 && args[0] == "crash") {
      if (FAILED(CoInitialize(nullptr))) return 2;
      return Crash(number(1), static_cast<STOREFOLDERID>(number(2)),
                   static_cast<STOREFOLDERID>(number(3)));
    }
    if (args.size() == 1 + 5 && args[0] == "churn") {
      if (FAILED(CoInitialize(nullptr))) return 2;
      return Churn(static_cast<int>(number(1)), number(2), static_cast<int>(number(3)),
                   static_cast<STOREFOLDERID>(number(4)), static_cast<STOREFOLDERID>(number(5)));
    }
    if (args.size() == 1 + 2 && args[0] == "readonly") {
      return ReadOnly(static_cast<STOREFOLDERID>(number(1)), static_cast<MESSAGEID>(number(2)));
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "store_stress_worker: %s\n", e.what());
    return 2;
  }
  std::fprintf(stderr,
               "usage: store_stress_worker crash <seed> <folder> <folder>\n"
               "       store_stress_worker churn <writer> <seed> <count> <parent> <common>\n"
               "       store_stress_worker readonly <folder> <message>\n");
  return 1;
}
