// Bringing existing mail (mbox files, Maildir folders, .eml files) into one
// folder of the mail store, through the store's namespace and its import
// extension.
//
// Each message is stored with its bytes exactly as the source holds them, in
// batches that become durable together. A message the store already holds
// (the same bytes, in any folder) is skipped, so an import that was
// interrupted and is run again stores nothing twice. The check and the store
// happen under one batch, which holds the store's write lock, so imports
// that run at the same time (in other processes too) take turns and store
// each message once. A message that cannot be stored is reported with its
// position in its source and the others go on.
#pragma once

#include <csignal>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "hosts/common/status_text.h"
#include "hosts/import/progress.h"
#include "platform/store.h"
#include "platform/store_import.h"

namespace vorn_import {

struct ImportSettings {
  // Messages per batch.
  size_t batchSize = 1000;
  // Draw a progress bar on the report stream (which should be a terminal).
  bool progress = false;
  // When it becomes non-zero (a signal handler sets it), the import stops
  // after the message at hand and keeps what it has stored.
  const volatile std::sig_atomic_t* stop = nullptr;
};

struct ImportCounts {
  uint64_t stored = 0;
  uint64_t duplicates = 0;  // skipped: the store held them already
  uint64_t failed = 0;
  uint64_t badSources = 0;  // refused, or not read to their end
  uint64_t textFromLines = 0;   // mbox "From " lines after an empty line read as text
  bool stopped = false;     // the store kept failing; the rest was left
  bool interrupted = false;
};

using vorn_host::StatusText;

class Importer {
 public:
  // `store` and `import` are the same initialised namespace; borrowed for
  // the importer's lifetime. Problems are reported on `report`, one line
  // each, starting with "vornimport: ".
  Importer(IStoreNamespace* store, IStoreImport* import, FILE* report, ImportSettings settings);
  ~Importer();
  Importer(const Importer&) = delete;
  Importer& operator=(const Importer&) = delete;

  // Finds the folder named by `path`, a name path from the root such as
  // "Projects/2026" (names compared exactly, else ignoring the case of ASCII
  // letters), creating the parts that are missing, all as one batch: imports
  // naming the same new path at once make it once. An empty path names the
  // Inbox. False, with the reason in *error, when a part cannot be found or
  // made.
  bool ResolveFolder(const std::string& path, STOREFOLDERID* folder, std::string* error);

  // Imports every source into `folder`, in order.
  void Import(const std::vector<std::string>& sources, STOREFOLDERID folder);

  const ImportCounts& counts() const { return counts_; }

 private:
  struct Position;
  struct Source;

  // Detects each source, reporting the ones refused, and lists Maildirs.
  void Plan(const std::vector<std::string>& paths, std::vector<Source>* sources);
  void ImportMbox(const Source& source);
  void ImportMaildir(const Source& source);
  void ImportMessageFile(const Source& source);
  // Stores one message unless the store holds it already.
  void Offer(std::string_view bytes, uint64_t received, DWORD flags, const Position& position);
  void Fail(const Position& position, const std::string& why);
  // A failure of the store itself (not of the message).
  void StoreFailed(const Position& position, const std::string& what, HRESULT status);
  // Begins a batch, waiting while another process (another import) keeps
  // the store busy; gives up on an interrupt or after some minutes.
  HRESULT BeginBatch(HBATCHLOCK* batch);
  // Commits the open batch, if any.
  void EndBatch();
  bool ShouldStop();
  void Report(const std::string& line);
  std::string Describe(const Position& position) const;
  void ShowProgress(uint64_t sourceBytesDone);

  IStoreNamespace* store_;
  IStoreImport* import_;
  FILE* report_;
  ImportSettings settings_;
  ImportCounts counts_;
  STOREFOLDERID folder_ = FOLDERID_INVALID;

  HBATCHLOCK batch_ = 0;
  uint64_t batchMessages_ = 0;  // stored under the open batch
  uint64_t batchChecked_ = 0;   // offered under it, stored or found held
  std::string batchFirst_;  // where the batch's first message came from
  std::string batchLast_;
  int failuresInARow_ = 0;

  ProgressBar bar_;
  uint64_t bytesBefore_ = 0;  // bytes of the sources finished so far
  uint64_t messagesSeen_ = 0;
  std::string fileBuffer_;
};

// The whole program: parses `args` (without the program name), opens the
// store of the platform's root, imports, and prints a one-line summary on
// `out`; problems go to `err`. Returns the exit status: 0 when everything
// was stored or skipped as a duplicate, 1 when a message failed, a source
// was refused or `out` could not be written, 2 for a usage error or a store
// that cannot be opened, 130 when interrupted. The caller has initialised
// the component runtime.
int RunImport(const std::vector<std::string>& args, FILE* out, FILE* err,
              const volatile std::sig_atomic_t* stop = nullptr);

}  // namespace vorn_import
