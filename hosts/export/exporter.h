// Writing the messages of the mail store out to files: mbox files, Maildir
// folders or one .eml file per message, through the store's namespace only,
// so that any store server registered for it can be exported.
//
// A folder tree becomes a tree on disk: each folder is named after the store
// folder (made safe by FolderFileName) and its subfolders go into a folder
// of that name. For mbox, folder "Archive" with subfolder "2025" gives
// Archive.mbox and Archive/2025.mbox; for Maildir and .eml, Archive/ (with
// cur/ new/ tmp/, or the .eml files) and Archive/2025/.
//
// Messages are read from the store one at a time, in pieces, so memory does
// not grow with the store. An export that is interrupted and run again with
// the same destination completes it without writing any message twice:
// Maildir and .eml names are made from the message (its received time and
// a hash of its bytes), so a message already written is found by its name;
// an mbox file is written as NAME.mbox.partial with a checkpoint in
// NAME.mbox.resume (the last message written and the file's length there)
// and becomes NAME.mbox when its folder is complete. A complete mbox file is
// left as it is.
#pragma once

#include <csignal>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "hosts/common/progress.h"
#include "platform/store.h"

namespace vorn_export {

enum class Format { kMbox, kMaildir, kEml };

struct ExportSettings {
  Format format = Format::kMbox;
  // Draw a progress bar on the report stream (which should be a terminal).
  bool progress = false;
  // When it becomes non-zero (a signal handler sets it), the export stops
  // after the message at hand, leaving what it wrote ready to be completed.
  const volatile std::sig_atomic_t* stop = nullptr;
};

struct ExportCounts {
  uint64_t written = 0;
  uint64_t present = 0;  // written by an earlier run into the same destination
  uint64_t failed = 0;
  uint64_t folders = 0;
  uint64_t foldersFailed = 0;  // could not be listed or written to the end
  bool stopped = false;        // writing kept failing; the rest was left
  bool interrupted = false;
};

// One message as the store lists it.
struct MessageInfo {
  MESSAGEID id = 0;
  uint64_t received = 0;  // FILETIME ticks
  bool read = false;
};

class Exporter {
 public:
  // `store` is an initialised namespace, borrowed for the exporter's
  // lifetime. Problems are reported on `report`, one line each, starting
  // with "vornexport: ".
  Exporter(IStoreNamespace* store, FILE* report, ExportSettings settings);
  ~Exporter();
  Exporter(const Exporter&) = delete;
  Exporter& operator=(const Exporter&) = delete;

  // Finds the folder at a name path (as for vornimport's --folder, but
  // creating nothing). False with the reason in *error.
  bool FindFolder(const std::string& path, STOREFOLDERID* folder, std::string* error);

  // Writes folder `folder` into the folder `destination` (created when
  // missing), and its subfolders below it when `recursive`. FOLDERID_ROOT
  // writes every folder of the store. False, with the reason reported,
  // when nothing could be written (an unknown folder, a destination that
  // cannot be made); the counts tell the rest.
  bool Export(STOREFOLDERID folder, bool recursive, const std::string& destination);

  const ExportCounts& counts() const { return counts_; }

 private:
  struct Planned {
    STOREFOLDERID id;
    std::string storePath;  // "Archive/2025", for reports
    std::string directory;  // where its file or folder goes
    std::string fileName;   // FolderFileName of its name
    uint64_t messages;
  };

  bool Plan(STOREFOLDERID parent, const std::string& storePath, const std::string& directory,
            bool recursive, std::vector<Planned>* plan);
  void ExportFolder(const Planned& folder);
  bool ShouldStop();
  void Report(const std::string& line);

  IStoreNamespace* store_;
  FILE* report_;
  ExportSettings settings_;
  ExportCounts counts_;
  vorn_host::ProgressBar bar_;
  uint64_t done_ = 0;
  int failuresInARow_ = 0;
};

// The whole program: parses `args` (without the program name), opens the
// store of the platform's root, exports, and prints a one-line summary on
// `out`; problems go to `err`. Returns the exit status: 0 when every
// message was written (now or by an earlier run), 1 when a message or a
// folder could not be, 2 for a usage error, a store that cannot be opened or
// a destination that cannot be made, 130 when interrupted. The caller has
// initialised the component runtime.
int RunExport(const std::vector<std::string>& args, FILE* out, FILE* err,
              const volatile std::sig_atomic_t* stop = nullptr);

}  // namespace vorn_export
