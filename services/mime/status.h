// Status codes of the MIME library: every failure the library can meet is
// named once here and mapped to the status its callers see in one place.
#pragma once

#include "platform/mime.h"
#include "runtime/status_guard.h"

namespace vorn_mime {

enum class Failure {
  kNotFound,        // no such body or header field
  kInvalidHandle,   // a body handle this message did not issue, or a stale one
  kInvalidArgument, // an argument out of its range (location, type, flags, vt)
  kNullPointer,     // a required pointer argument is null
  kNoInterface,     // the object does not offer the interface asked for
  kUnconvertible,   // the field exists but cannot be given in the asked form
  kTooLarge,        // the message is beyond what Load accepts
  kReadFault,       // the source stream failed
  kWriteFault,      // the destination stream failed or took nothing
  kAccessDenied,    // writing to a read-only stream
  kOutOfMemory,
};

// The result code for `failure`.
HRESULT StatusOf(Failure failure);

// Runs an interface method's body, turning any exception into a status.
using vorn_rt::Guarded;

}  // namespace vorn_mime
