// Contacts kept in vCard files: one file, or every .vcf file of a folder.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "services/addressbook/address_book.h"
#include "services/addressbook/vcard.h"

namespace vorn_wab {

// The largest vCard file read; a larger one is skipped as unreadable.
constexpr size_t kMaxContactFileBytes = 256u * 1024 * 1024;

// Appends the contacts kept at `path` to *contacts. A folder gives the files
// directly in it whose names end in ".vcf" (in any case), in byte order of
// their names; any other path that names a regular file gives that file.
// A path that does not exist, or names something else, gives nothing.
// A file that cannot be read (or is larger than kMaxContactFileBytes) is
// skipped, as is a card that cannot be read.
// Returns S_OK, or a negative status when the folder exists but cannot be
// listed (*contacts then holds what was read before).
HRESULT ReadContactFiles(const std::string& path, VCardReader* reader,
                         std::vector<Contact>* contacts);

// A contact source over ReadContactFiles(path), read anew on every Load.
std::shared_ptr<ContactSource> MakeContactFileSource(std::string path);

}  // namespace vorn_wab
