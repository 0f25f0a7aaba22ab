// The layout of the store's database and the step that brings a store of the
// first layout to the current one.
//
// Layouts, kept in PRAGMA user_version:
//   1  folders(id, parent, name, special, depth); sibling names were kept
//      apart by comparing keys in the server.
//   2  folders gains name_key, the name's comparison key (FolderNameKey),
//      unique per parent, which keeps sibling names apart by itself.
//      Every message's cached header fields were derived again when a store
//      was brought to it.
// The other tables are the same in both.
#pragma once

#include <string>
#include <vector>

#include "platform/mime.h"
#include "platform/store.h"
#include "services/store/sqlite_db.h"

namespace vorn_store {

// The layout this server writes.
constexpr int kSchemaVersion = 2;

// The folders table and its index as the current layout has them.
extern const char* const kFoldersSchema;

// A folder the upgrade renamed, because its name's key clashed with that of
// an earlier sibling.
struct RenamedFolder {
  STOREFOLDERID id = 0;
  std::string from;
  std::string to;
};

// Brings a store of layout 1 to layout 2 as one write transaction on
// `connection`, which must be in no transaction. Fills the name keys, and
// derives every message's cached header fields (and its attachment bit)
// again from its stored text with the MIME library's message class
// `mimeMessageClass` (borrowed; null: the registered one, found with
// CoGetClassObject). A message the library cannot load keeps the fields it
// had. Of siblings whose names share a key, special folders and then the
// lowest identifier keep their names; each of the others gets " (2)",
// " (3)", ... added (the name cut at a character boundary to fit), the first
// number whose key no sibling has; *renamed lists them (may be null).
// S_OK when upgraded; S_FALSE when the store was not of layout 1 by the time
// the write lock was held (another process upgraded it), nothing done; a
// failure status with nothing changed. Needs COM initialised on the thread.
HRESULT UpgradeFromVersion1(Connection& connection, IClassFactory* mimeMessageClass,
                            std::vector<RenamedFolder>* renamed);

// The layout version of the store on `connection`.
HRESULT ReadSchemaVersion(Connection& connection, int* version);

}  // namespace vorn_store
