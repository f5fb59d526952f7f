// What the documents read of a decision: its members of the JSON document
// as JSON values, the layout being the document's business.
#pragma once

#include <nlohmann/json.hpp>

namespace lumaqc {

class DecisionView {
  public:
    virtual ~DecisionView() = default;
    // An object of "profile" (the profile and its rules), "verdict" (result,
    // errors, warnings), "events" (an array, in the order they opened) and
    // "decode_errors" (count, frames), in that order. Safe from any thread.
    virtual nlohmann::ordered_json document() const = 0;
};

}  // namespace lumaqc
