// The live page's data: every channel's state, open events and latest
// picture as JSON (/status.json).
#pragma once

#include <string>
#include <vector>

#include "live/metrics.h"

namespace lumaqc {

// {"channels": [{"channel", "receiving", "frames", "lag_seconds",
// "open_events": [{"type", "severity"}], "picture": data URI or ""}]}
std::string statusJson(const std::vector<ChannelStatus>& channels);

}  // namespace lumaqc
