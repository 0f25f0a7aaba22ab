// Folder names of the mail store as names of files and folders on disk, and
// back, so that a folder tree can be written out and read in again.
//
// The name is kept as it is except for these bytes, which become "%" and
// two hexadecimal digits: "%" itself, "/", control characters, the
// characters other systems refuse in file names (\ : * ? " < > |), a "."
// at the start (no hidden files, no "." or ".."), a "." or a space at the
// end, the first letter of "cur", "new" and "tmp" in any case (a Maildir's
// own subfolders), and the last "." of a name ending in ".mbox" or ".eml"
// in any case (the files an export writes). "Sent Items" stays
// "Sent Items"; "a/b" becomes "a%2Fb"; "new" becomes "%6Eew".
#pragma once

#include <string>
#include <string_view>

namespace vorn_host {

std::string FolderFileName(std::string_view folderName);

// The folder name a file name stands for: every "%" with two hexadecimal
// digits becomes that byte; anything else is kept.
std::string FolderNameFromFile(std::string_view fileName);

}  // namespace vorn_host
