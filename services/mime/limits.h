// The limits the MIME library keeps against hostile messages. Whatever lies
// beyond them is not parsed; nothing beyond them is an error.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vorn_mime {

#ifdef VORN_MIME_SMALL_LIMITS
// The fuzz target's build: limits that inputs of a few kilobytes reach, so
// that the paths past them are fuzzed too.
inline constexpr bool kSmallLimits = true;
#else
inline constexpr bool kSmallLimits = false;
#endif

// Levels of nesting: the root body is level 1. Bodies deeper than this are not
// parsed; a multipart at the deepest level shows no children.
constexpr int kMaxDepth = kSmallLimits ? 8 : 100;

// Bodies of one message, counted in document order from the root.
constexpr int kMaxParts = kSmallLimits ? 64 : 10000;

// Load refuses a stream holding more than this (E_OUTOFMEMORY).
constexpr size_t kMaxMessageBytes = size_t{256} << 20;

// Only this much of a message's text is parsed; Save still writes it all.
constexpr size_t kMaxParsedBytes = size_t{64} << 20;

// GetData never delivers more than this; a longer result is cut, for text
// at a whole character.
constexpr size_t kMaxDecodedBytes = size_t{64} << 20;

// An address field with more colons than this has them read as blanks: group
// syntax nests once per colon, and no real address list comes near it.
constexpr size_t kMaxAddressColons = kSmallLimits ? 8 : 256;

// What GMime is given of header fields, over every header block of a
// message: GMime holds several times a field's size in objects and copies,
// and a few hundred bytes for each field however short. A field longer than
// kMaxHeaderFieldBytes (its lines without the last line break) is cut there,
// at a whole character; once a message's header fields have reached
// kMaxHeaderFields fields or kMaxHeaderBytes bytes, further fields are left
// out. No real message comes near these.
constexpr size_t kMaxHeaderFieldBytes = kSmallLimits ? 64 : size_t{64} << 10;
constexpr size_t kMaxHeaderBytes = kSmallLimits ? 1024 : size_t{4} << 20;
constexpr size_t kMaxHeaderFields = kSmallLimits ? 32 : 50000;

// Display names are cut to this many bytes, at a whole UTF-8 character.
constexpr size_t kMaxDisplayNameBytes = 255;

}  // namespace vorn_mime
