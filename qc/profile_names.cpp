// The names of severities, directions and statistics in profiles and
// documents, and the event type of an indicator rule that names none.
#include "indicators/registry.h"
#include "qc/profile.h"

namespace lumaqc::qc {

const char* severityName(Severity severity) {
    switch (severity) {
        case Severity::Info:
            return "info";
        case Severity::Warning:
            return "warning";
        case Severity::Error:
            break;
    }
    return "error";
}

const char* directionName(Direction direction) {
    return direction == Direction::Below ? "below" : "above";
}

const char* statisticName(Statistic statistic) {
    switch (statistic) {
        case Statistic::None:
            return "";
        case Statistic::Mean:
            return "mean";
        case Statistic::Min:
            return "min";
        case Statistic::Max:
            return "max";
        case Statistic::P5:
            return "p5";
        case Statistic::P50:
            return "p50";
        case Statistic::P95:
            return "p95";
    }
    return "";
}

std::string defaultEventType(IndicatorId id) {
    return indicatorInfo(id).eventType;
}
}  // namespace lumaqc::qc
