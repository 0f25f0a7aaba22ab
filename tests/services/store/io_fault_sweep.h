// The store's operations run with every I/O call failing in turn, and with
// the power cut at random syncs, on the fault VFS (fault_vfs.h).
//
// Each run starts from a prepared store copied into place, runs one
// operation with the fault armed, closes the store, and then checks:
// SQLite's integrity check says "ok"; the store opens again; it holds what it
// held before the operation when the operation failed and what a clean run
// leaves when it succeeded (either after a power cut, and always everything
// that was committed before, byte for byte, by digest); the next change on
// the reopened store (a folder and a message) succeeds and gets identifiers
// that were never handed out before. After a power cut the store must hold
// either state, and the one after whenever the operation had returned
// success before the power went.
//
// Used by store_io_fault_test (every fault point, a few power cuts) and by
// bench_store_power_cut (many power cuts).
#pragma once

#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "platform/store.h"
#include "tests/services/store/fault_vfs.h"

namespace store_faults {

// What an operation starts from.
enum class Start {
  kNoStore,        // no store yet
  kStore,          // the prepared store, closed cleanly
  kNeedsRecovery,  // the prepared store with a WAL of committed changes, as a crash leaves it
  kFirstLayout,    // a store of the first database layout, which opening upgrades
};

// Identifiers the store handed to the caller during an operation.
struct Handed {
  std::vector<uint32_t> folders;
  std::vector<uint32_t> messages;
  // Handed out inside a batch: a crash before the batch commits takes them
  // back with it, so they are not promised after a power cut.
  std::vector<uint32_t> batchMessages;
};

// What an operation is given.
struct World {
  IStoreNamespace* store = nullptr;  // open; null for an operation that opens the store itself
  STOREFOLDERID inbox = 0, kept = 0, spare = 0, old = 0, other = 0;
  std::vector<MESSAGEID> keptMessages;  // in Kept, in identifier order
  Handed* handed = nullptr;
};

struct Operation {
  const char* name;
  Start start;
  bool opensTheStore;  // the fault window covers opening, using and closing the store
  HRESULT (*run)(World& world);
};

// Create, rename and remove a folder; commit a message through a stream;
// copy; move; mark read; remove messages; a batch import of 100 messages;
// open a store that needs recovery; create a new store; upgrade a store of
// the first layout.
const std::vector<Operation>& Operations();

struct SweepFigures {
  int faultPoints = 0;  // runs in which the armed fault fired
  int runs = 0;         // every run, the clean last run of each sweep included
  int powerCuts = 0;
  int cutsBefore = 0;  // power cuts after which the store was as before the operation
  int cutsAfter = 0;   // ... as after it
  long writesKept = 0;
  long writesDropped = 0;
  std::string detail;                 // fault points per kind
  std::vector<std::string> failures;  // empty when every run held
};

class Sweeper {
 public:
  // Prepares the starting stores in the current VORN_ROOT, whose libraries
  // must be registered; the thread must have called CoInitialize. Null with
  // the reason in *error when that fails.
  static std::unique_ptr<Sweeper> Create(std::string* error);
  ~Sweeper();
  Sweeper(const Sweeper&) = delete;
  Sweeper& operator=(const Sweeper&) = delete;

  // Every fault point of every kind of call: read, write (an I/O error, a
  // short write, a full disk), sync, truncate and lock, N = 1, 2, ... until
  // a run in which nothing failed.
  SweepFigures SweepFailingCalls(const Operation& operation);
  // `cuts` power cuts, each at a random sync of the operation with a random
  // subset of the unsynced writes kept.
  SweepFigures SweepPowerCuts(const Operation& operation, int cuts, uint64_t seed);

 private:
  struct Template;
  struct Reference;
  Sweeper();
  HRESULT Prepare(std::string* error);
  // Puts the starting store of `start` in place.
  bool Restore(Start start, std::string* error);
  const Template& TemplateOf(Start start) const;
  // A clean run: what the operation leaves, and how many syncs it makes.
  bool RunReference(const Operation& operation, Reference* out, SweepFigures* figures);
  // One run with `arm` arming the VFS; adds to *figures. True when the fault
  // fired (or the power went).
  template <class Arm>
  bool RunOnce(const Operation& operation, const Reference& reference, const std::string& label,
               bool powerCut, Arm&& arm, SweepFigures* figures);

  std::string folder_;                      // where the starting stores are kept
  std::unique_ptr<Template> templates_[4];  // by Start
  World world_;
};

}  // namespace store_faults
