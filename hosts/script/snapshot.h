// Drawing a control into a PNG picture, for `vornhost --snapshot`.
#pragma once

#include <string>

namespace vornhost {

// The ProgID --snapshot draws when none is given: the control of the module.
extern const char* const kDefaultSnapshotProgId;

// Initialises the component runtime, creates the object `progId` (empty: the
// default), draws it through its view interface into a `width` x `height`
// picture on white (0 x 0: the size the object states for itself), writes the
// picture to `file` as PNG and releases everything. False with *error set
// when any step fails.
bool Snapshot(const std::string& file, const std::string& progId, int width, int height,
              std::string* error);

}  // namespace vornhost
