// A cheap line scan run over a message before GMime parses it, so that GMime
// never sees more than the library's limits allow: it finds where the parse
// must end (nesting depth, number of bodies, parsed size), the header text
// beyond what a message's header fields may cost, and the address fields
// whose group syntax would nest beyond reason.
#pragma once

#include <gmime/gmime.h>

#include <cstddef>
#include <utility>
#include <vector>

namespace vorn_mime {

struct ParsePlan {
  // GMime is given the bytes [0, cut).
  size_t cut = 0;
  // Byte ranges (begin, end) of address field values in which every colon
  // is to be read as a blank. Sorted, not overlapping.
  std::vector<std::pair<size_t, size_t>> defuse;
  // Byte ranges (begin, end) of header text GMime is not given: the rest of
  // a field cut at kMaxHeaderFieldBytes, or whole fields beyond the header
  // budget. Sorted, not overlapping, never touching. Line breaks that end
  // a kept line are never in them.
  std::vector<std::pair<size_t, size_t>> drop;
  // False when the text cannot hold more bodies than the limit allows, so
  // that GMime's bodies need not be counted while it parses.
  bool mayHaveTooManyParts = false;
};

// Plans the parse of `size` bytes at `data`. The plan errs on the side of
// the limits: a body that this scan believes to lie beyond them is cut even
// when GMime would have placed it a level higher. `options` parse the
// Content-Type fields the scan needs to follow the multipart structure.
ParsePlan PlanParse(const char* data, size_t size, GMimeParserOptions* options);

// The text GMime is to parse under `plan`: the bytes [0, plan.cut) of `data`
// without the dropped ranges and with the defused colons made blanks, as a
// new array the caller frees; null when that is [0, plan.cut) of `data` as
// it stands.
GByteArray* NewParsedText(const ParsePlan& plan, const guint8* data);

}  // namespace vorn_mime
