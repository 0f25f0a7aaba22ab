// imap_peer: one of the programs that the IMAP tests run side by side on one
// account and one root. It reaches the store as any program does, through
// the registry of VORN_ROOT, and reports each step on standard output, one
// line per step:
//
//   imap_peer <tag> <folder> <moved> <rounds> <barrier>
//     Each round imports a batch into folder <folder> (two messages of its
//     own and "common-<round>", whose text every peer imports alike),
//     stores one more through a stream and moves that one to folder
//     <moved>, and lists both folders. Then it puts a file <tag> into the
//     folder <barrier> and waits until the folder holds two, so that the
//     last listings come after every peer's changes.
//       + <id> <subject>          a message was stored under <id>
//       > <id>                    it was moved to <moved>
//       L <id>:<subject> ...      a listing of <folder>, in order
//       M <id>:<subject> ...      a listing of <moved>
//       Z ..., Y ...              the listings of both after the barrier
//       end
//     A call that fails is reported as "E <call> <status in hex> <reason>",
//     and the program ends with status 2.

#include <dirent.h>
#include <unistd.h>

#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "platform/failure_reason.h"
#include "platform/runtime.h"
#include "platform/store_import.h"
#include "tests/services/store/stress_support.h"

namespace {

using store_stress::Report;

int Failed(const std::string& call, HRESULT hr) {
  char text[VORN_MAX_FAILURE_REASON + 1] = {};
  VornGetFailureReason(text, sizeof text);
  char status[16];
  std::snprintf(status, sizeof status, "%08" PRIx32, static_cast<uint32_t>(hr));
  Report("E " + call + " " + status + " " + text);
  return 2;
}

int Files(const std::string& folder) {
  int count = 0;
  if (DIR* dir = opendir(folder.c_str())) {
    while (dirent* entry = readdir(dir)) count += entry->d_name[0] != '.';
    closedir(dir);
  }
  return count;
}

// One listing line: `mark`, then id:subject of each message.
HRESULT List(IStoreFolder* folder, const char* mark) {
  std::vector<store_stress::MessageRow> rows;
  HRESULT hr = store_stress::ListMessages(folder, &rows);
  if (FAILED(hr)) return hr;
  std::string line = mark;
  for (const auto& row : rows) line += " " + std::to_string(row.id) + ":" + row.subject;
  Report(line);
  return S_OK;
}

int Run(const std::string& tag, STOREFOLDERID folderId, STOREFOLDERID movedId, int rounds,
        const std::string& barrier) {
  ComPtr<IStoreNamespace> ns;
  HRESULT hr = store_stress::OpenStore(&ns);
  if (FAILED(hr)) return Failed("Initialize", hr);
  ComPtr<IStoreImport> import;
  if (FAILED(hr = ns.As(&import))) return Failed("QueryInterface", hr);
  ComPtr<IStoreFolder> folder;
  ComPtr<IStoreFolder> moved;
  if (FAILED(hr = ns->OpenFolder(folderId, 0, folder.Put())) ||
      FAILED(hr = ns->OpenFolder(movedId, 0, moved.Put()))) {
    return Failed("OpenFolder", hr);
  }
  // The text of "common-<round>" is the same in every peer; the rest is
  // drawn from a generator seeded with the peer's tag.
  std::mt19937_64 common(1), own(std::hash<std::string>()(tag));
  for (int round = 0; round < rounds; ++round) {
    const std::string r = "-r" + std::to_string(round);
    std::vector<std::pair<std::string, std::string>> batch = {
        {"common" + r, store_stress::MakeStressMessage("common" + r, 600, common)},
        {tag + r + "-a", store_stress::MakeStressMessage(tag + r + "-a", 800, own)},
        {tag + r + "-b", store_stress::MakeStressMessage(tag + r + "-b", 900, own)},
    };
    HBATCHLOCK lock = 0;
    if (FAILED(hr = import->BeginBatch(&lock))) return Failed("BeginBatch", hr);
    std::vector<MESSAGEID> ids;
    for (const auto& [subject, text] : batch) {
      MESSAGEID id = 0;
      if (FAILED(hr = import->ImportMessage(lock, folderId,
                                            reinterpret_cast<const BYTE*>(text.data()),
                                            static_cast<ULONG>(text.size()), nullptr, 0, &id))) {
        return Failed("ImportMessage", hr);
      }
      ids.push_back(id);
    }
    if (FAILED(hr = import->CommitBatch(lock))) return Failed("CommitBatch", hr);
    for (size_t i = 0; i < batch.size(); ++i) {
      Report("+ " + std::to_string(ids[i]) + " " + batch[i].first);
    }
    const std::string single = tag + r + "-c";
    MESSAGEID id = 0;
    hr = store_stress::CommitMessage(folder.Get(),
                                     store_stress::MakeStressMessage(single, 700, own), &id);
    if (FAILED(hr)) return Failed("CommitStream", hr);
    Report("+ " + std::to_string(id) + " " + single);
    MESSAGEIDLIST list{CB_MESSAGEIDLIST, 1, &id};
    hr = ns->CopyMoveMessages(folder.Get(), moved.Get(), &list, CMF_MOVE, 0, nullptr);
    if (FAILED(hr)) return Failed("CopyMoveMessages", hr);
    Report("> " + std::to_string(id));
    if (FAILED(hr = List(folder.Get(), "L")) || FAILED(hr = List(moved.Get(), "M"))) {
      return Failed("GetFirstMessage", hr);
    }
  }
  std::FILE* mark = std::fopen((barrier + "/" + tag).c_str(), "w");
  if (mark) std::fclose(mark);
  for (int waited = 0; Files(barrier) < 2; ++waited) {
    if (waited == 6000) return Failed("barrier", E_FAIL);
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  if (FAILED(hr = List(folder.Get(), "Z")) || FAILED(hr = List(moved.Get(), "Y"))) {
    return Failed("GetFirstMessage", hr);
  }
  Report("end");
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 6) {
    std::fprintf(stderr, "usage: imap_peer <tag> <folder> <moved> <rounds> <barrier>\n");
    return 64;
  }
  if (FAILED(CoInitialize(nullptr))) return 3;
  int status = Run(argv[1], static_cast<STOREFOLDERID>(std::strtoul(argv[2], nullptr, 10)),
                   static_cast<STOREFOLDERID>(std::strtoul(argv[3], nullptr, 10)),
                   std::atoi(argv[4]), argv[5]);
  CoUninitialize();
  return status;
}
