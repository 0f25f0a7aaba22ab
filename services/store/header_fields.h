// The header fields the store keeps beside each message, read once when the
// message is stored, so that listing a folder never parses a message again.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "platform/mime.h"
#include "platform/store.h"

namespace vorn_store {

struct HeaderFields {
  std::string subject;        // decoded, UTF-8
  std::string normalSubject;  // the subject without its reply and forward prefixes
  std::string displayFrom;    // the senders' display names, else their addresses
  std::string displayTo;      // the recipients' display names or addresses, "; " between
  uint64_t sent = 0;          // the Date field as FILETIME ticks (UTC); 0 when missing or bad
  IMSGPRIORITY priority = IMSG_PRI_NORMAL;
  DWORD language = 0;  // code page of the main charset; 0 when unknown
  bool hasAttachment = false;
};

// Derives the fields the store caches for a message from its raw text: the
// one place they come from, when a message is stored and whenever stored
// fields are to be derived again (as after a change of how text is read).
// Loads `raw` into a new message object of the MIME library made by
// `mimeMessageClass` (borrowed; null: the class registered under
// CLSID_VornMimeMessage, found with CoGetClassObject) and reads it with
// ReadHeaderFields. Returns S_OK with the fields; S_FALSE when the library
// could not load the text, the fields then at their defaults (such a message
// is still stored); a failure status when no message object could be made,
// the fields at their defaults. Needs COM initialised on the thread.
HRESULT DeriveHeaderFields(std::shared_ptr<const std::string> raw,
                           IClassFactory* mimeMessageClass, HeaderFields* fields);

// Reads the fields of a loaded message through its root body's property set.
// A field the message lacks, or that cannot be read, keeps its default: a
// message that parses badly is still stored, with what could be read.
void ReadHeaderFields(IMimeMessage* message, HeaderFields* fields);

// The subject with leading "Re:", "Fw:" and "Fwd:" (any case, repeated, with
// blanks around them) removed.
std::string NormaliseSubject(std::string_view subject);

// The code page number of a charset name (any case): 65001 for UTF-8, 28591
// for ISO-8859-1, 1252 for windows-1252, ...; 0 for a name it does not know.
DWORD CodePageFromCharset(std::string_view charset);

// The priority from the X-Priority and Importance fields (null when absent).
// X-Priority decides when it holds a number from 1 to 5.
IMSGPRIORITY PriorityFromFields(const char* xPriority, const char* importance);

}  // namespace vorn_store
