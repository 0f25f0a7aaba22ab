// Finding folders of the mail store by name, for the hosts that take a
// folder path on their command line.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "platform/store.h"
#include "runtime/com_ptr.h"

namespace vorn_host {

// Creates the registered mail store and opens it, for the command-line tool
// called `tool`. On failure it says why on `err`, with `registerHint` (what
// to register with vornreg) when no store is registered, and returns false.
bool OpenMailStore(const char* tool, const char* registerHint, FILE* err,
                   ComPtr<IStoreNamespace>* store);

// Splits a name path from the top of the folder tree, such as
// "Projects/2026", into its names (slashes at either end are ignored). An
// empty path gives no names. False when a name between slashes is empty.
bool SplitFolderPath(std::string_view path, std::vector<std::string>* names);

// Looks among the direct subfolders of `parent` for the one called `name`
// (compared exactly, else ignoring the case of ASCII letters), or for the
// Inbox when `name` is null. *found is FOLDERID_INVALID when there is none.
// Returns S_OK, or the failure of the store's enumeration.
HRESULT FindSubFolder(IStoreNamespace* store, STOREFOLDERID parent, const std::string* name,
                      STOREFOLDERID* found);

// The direct subfolders of `parent` in the store's order, into *folders.
// Returns S_OK, or the failure of the store's enumeration (*folders then
// holds those read before it).
HRESULT ListSubFolders(IStoreNamespace* store, STOREFOLDERID parent,
                       std::vector<FOLDERPROPS>* folders);

}  // namespace vorn_host
