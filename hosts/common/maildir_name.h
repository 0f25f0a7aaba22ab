// The names of message files in a Maildir folder, as vornimport reads them
// and vornexport writes them.
//
// A name is "<seconds>.<unique>[:2,<flags>]": the leading decimal number is
// the time the message was delivered (seconds since 1970 UTC); the flags
// after ":2," (or "!2,", as some systems write it where ":" is not allowed
// in file names) are single letters, of which "S" means seen. The unique
// part between the first and the second "." is a run of fields, each a
// capital letter and a value; a field "T" with seven digits gives the
// fraction of the second in units of 100 ns, so that a time survives to
// the tick.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "runtime/text.h"

namespace vorn_host {

// FILETIME ticks of a Unix time and back (runtime/text.h).
using vorn_rt::TicksFromUnixSeconds;
using vorn_rt::UnixSecondsFromTicks;

// *seconds is the delivery time when the name starts with one; false
// otherwise.
bool MaildirTimeFromName(std::string_view name, uint64_t* seconds);

// The delivery time in FILETIME ticks, with the fraction of a second the
// unique part gives; false when the name starts with no time.
bool MaildirTicksFromName(std::string_view name, uint64_t* ticks);

// Whether the flags hold S.
bool MaildirSeenFromName(std::string_view name);

// A name without flags for a message delivered at `ticks` whose content
// hashes to `hash`: "<seconds>.T<fraction>H<hash in hex>.vorn".
// A time before 1970, which the leading number cannot give, leaves the
// number out ("H<hash>.vorn"); readers then take the file's time.
std::string MaildirBaseName(uint64_t ticks, uint64_t hash);

}  // namespace vorn_host
