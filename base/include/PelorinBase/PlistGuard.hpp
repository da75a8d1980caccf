#pragma once

#include <string_view>

namespace PelorinBase {

// Whether a property list may be handed to libplist, whose parser and destructor recurse once per
// level of nesting and unfold every reference of a binary list into a copy of its object: XML
// with a bounded number of arrays and dictionaries, or a binary list whose objects form no cycle
// and unfold into a bounded tree. Other bytes are left to libplist, which refuses them.
bool plistIsBounded(std::string_view bytes);

}  // namespace PelorinBase
