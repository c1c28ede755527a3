#pragma once
// JSON output of the subcommands: the same string literals as the summaries.
#include "engine/SummaryJson.h"

namespace app {

using engine::JsonString;

}  // namespace app
