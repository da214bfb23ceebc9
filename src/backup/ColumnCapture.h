// Lookups over the column elements of the backup document, shared by the save and the restore.
#pragma once

#include <string>
#include <string_view>

#include "platform/xml/Document.h"

namespace vela {

// The first child element of `node` whose "Name" equals `name` without regard to case; empty if none.
xml::Element GetTableColumn(xml::Element node, std::string_view name);

// True for a text of exactly 38 characters that begins with "{" and ends with "}".
bool IsRowGUID(std::string_view text);

// A Boolean attribute as the document stores it: a number (non-zero true) or the words True / False.
// Anything else fails with kTypeMismatch naming the attribute.
bool DocumentBoolean(const std::string& text, std::string_view attributeName);

}  // namespace vela
