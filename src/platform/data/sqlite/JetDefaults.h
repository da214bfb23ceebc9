// How Jet's default expressions live in the engine: a Jet default as written becomes the engine's DEFAULT
// expression, and an engine default another program wrote reads as a Jet default. The meaning of a default
// text is read by the data layer's one reader (DefaultText.h); a text it does not recognise never reaches
// the engine as SQL.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "velabackup/data/Types.h"

namespace vela::data::sqlite {

// The engine's DEFAULT expression for a Jet default as written ("=Now()", "Yes", "\"abc\"", "12.5") on a
// column of the ADO type `type`, or nothing when the text has no meaning the engine can act on.
std::optional<std::string> EngineDefault(std::string_view jetDefault, int type);
// A Jet default for an engine default written by another program (CURRENT_TIMESTAMP gives "Now()").
std::string JetDefaultFromEngine(std::string_view engineDefault);

}  // namespace vela::data::sqlite
