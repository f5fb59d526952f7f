#include "qc/profile.h"

#include <fcntl.h>
#include <toml++/toml.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <set>
#include <string_view>
#include <unordered_set>
#include <utility>
#include <vector>

#include "indicators/registry.h"
#include "qc/conditions.h"
#include "qc/timecode.h"
#include "qc/toml_fault.h"

namespace lumaqc::qc {

namespace {

std::optional<IndicatorId> indicatorByKey(std::string_view key) {
    for (const IndicatorInfo* info : indicatorColumns()) {
        if (key == info->key) return info->id;
    }
    return std::nullopt;
}

std::string indicatorKeys() {
    std::string keys;
    for (const IndicatorInfo* info : indicatorColumns()) {
        keys += (keys.empty() ? "" : ", ") + std::string(info->key);
    }
    return keys;
}

// "black and luma_levels": the conditions that take luma levels.
std::string levelConditions() {
    std::vector<std::string> names;
    for (const Condition& c : conditions()) {
        if ((c.keys & (kBlackLevelKeys | kLumaRangeKeys)) != 0) names.emplace_back(c.name);
    }
    std::string text;
    for (size_t i = 0; i < names.size(); ++i) {
        text += (i == 0 ? "" : i + 1 == names.size() ? " and " : ", ") + names[i];
    }
    return text;
}

// A number as written, or a percent: "2 %", "2.5%", "-1 %" (a TOML string).
struct Amount {
    double value = 0.0;     // the number written (the percent's figure)
    double fraction = 0.0;  // a percent as a fraction: "2.5 %" reads 0.025, as 0.025 would
    bool percent = false;
};

std::optional<Amount> percentText(std::string_view text) {
    if (!text.ends_with('%')) return std::nullopt;
    text.remove_suffix(1);
    while (text.ends_with(' ')) text.remove_suffix(1);
    if (text.starts_with('+')) text.remove_prefix(1);
    std::string digits(text);
    Amount amount{0.0, 0.0, true};
    const char* end = digits.data() + digits.size();
    const auto [stop, ec] = std::from_chars(digits.data(), end, amount.value);
    if (digits.empty() || ec != std::errc() || stop != end || !std::isfinite(amount.value)) {
        return std::nullopt;
    }
    // Shifting the decimal exponent rounds once, like the fraction written out.
    amount.fraction = amount.value / 100.0;
    if (digits.find_first_of("eE") == std::string::npos) {
        digits += "e-2";
        std::from_chars(digits.data(), digits.data() + digits.size(), amount.fraction);
    }
    return amount;
}

// A luma level from a percent of the video range (0 % = 16, 100 % = 235).
double videoLevel(double percent) {
    return std::round(16.0 + 219.0 * percent / 100.0);
}

const Statistic kStatistics[] = {Statistic::Mean, Statistic::Min, Statistic::Max,
                                 Statistic::P5,   Statistic::P50, Statistic::P95};

// Reads the keys of one [[rule]] table.
class RuleReader {
  public:
    RuleReader(const toml::table& table, TomlFault& fault) : table_(table), fault_(fault) {}

    std::optional<Rule> read() {
        static const std::set<std::string_view> kKeys = {
            "id",        "event",      "indicator",  "threshold",    "direction",   "statistic",
            "severity",  "not_during", "ebu_item",   "min_duration", "longer_than", "max_level",
            "min_share", "low",        "high",       "in_leader",    "from",        "to",
            "relative",  "max_count",  "grid_ratio", "grid_share"};
        for (const auto& [key, node] : table_) {
            if (!kKeys.contains(key.str())) {
                fault_.at(key.source(), "unknown key '" + std::string(key.str()) + "' in a rule");
                return std::nullopt;
            }
        }
        Rule rule;
        const std::optional<std::string> id = text("id", true);
        if (!id) return std::nullopt;
        rule.id = *id;
        const std::optional<std::string> event = text("event", false);
        const std::optional<std::string> indicator = text("indicator", false);
        const std::optional<std::string> severity = text("severity", true);
        const std::optional<std::string> direction = text("direction", false);
        const std::optional<std::string> statistic = text("statistic", false);
        const std::optional<Amount> threshold = amount("threshold");
        std::optional<double> minDuration = number("min_duration");
        const std::optional<double> longerThan = number("longer_than");
        if (fault_.failed()) return std::nullopt;
        if (minDuration && longerThan) {
            return refuse("longer_than", "a rule takes min_duration or longer_than, not both");
        }
        if (longerThan) {
            minDuration = longerThan;
            rule.strict = true;
        }
        if (!window(rule)) return std::nullopt;
        if (const toml::node* leader = table_.get("in_leader")) {
            const auto* b = leader->as_boolean();
            if (b == nullptr) return refuse("in_leader", "key 'in_leader' must be true or false");
            rule.inLeader = b->get();
        }
        if (const toml::node* relative = table_.get("relative")) {
            const auto* b = relative->as_boolean();
            if (b == nullptr) return refuse("relative", "key 'relative' must be true or false");
            rule.relative = b->get();
        }
        if (const toml::node* count = table_.get("max_count")) {
            const auto* i = count->as_integer();
            if (i == nullptr || i->get() < 0) {
                return refuse("max_count", "key 'max_count' must be a whole number, 0 or more");
            }
            rule.maxCount = i->get();
        }

        if (*severity == "info") {
            rule.severity = Severity::Info;
        } else if (*severity == "warning") {
            rule.severity = Severity::Warning;
        } else if (*severity == "error") {
            rule.severity = Severity::Error;
        } else {
            return refuse(
                "severity",
                "severity must be \"info\", \"warning\" or \"error\", not \"" + *severity + "\"");
        }
        if (direction) {
            if (*direction == "above") {
                rule.direction = Direction::Above;
            } else if (*direction == "below") {
                rule.direction = Direction::Below;
            } else {
                return refuse("direction", "direction must be \"above\" or \"below\", not \"" +
                                               *direction + "\"");
            }
        }
        if (statistic) {
            for (Statistic s : kStatistics) {
                if (*statistic == statisticName(s)) rule.statistic = s;
            }
            if (rule.statistic == Statistic::None) {
                return refuse("statistic", "unknown statistic \"" + *statistic +
                                               "\" (mean, min, max, p5, p50, p95)");
            }
        }
        if (minDuration) {
            if (!(*minDuration >= 0.0) || !std::isfinite(*minDuration)) {
                return refuse("min_duration", "min_duration must be 0 or more seconds");
            }
            rule.minDuration = *minDuration;
        }

        if (indicator) {
            const std::optional<IndicatorId> id = indicatorByKey(*indicator);
            if (!id) {
                return refuse("indicator",
                              "unknown indicator '" + *indicator + "' (" + indicatorKeys() + ")");
            }
            rule.watch = Watch::Indicator;
            rule.indicator = *id;
            rule.type = event ? *event : defaultEventType(*id);
            const Condition* named = conditionNamed(rule.type);
            if (named != nullptr && !named->sharedType) {
                return refuse("event", "event type '" + rule.type +
                                           "' is kept for its own condition; name it otherwise");
            }
            if (!threshold) return refuse("", "rule '" + rule.id + "' needs a threshold");
            if (!direction) return refuse("", "rule '" + rule.id + "' needs a direction");
            if (threshold->percent && !shareOfPicture(*id)) {
                return refuse("threshold", "key 'threshold' must be a number: " + *indicator +
                                               " is not a share of the picture");
            }
            if (threshold->percent && !(threshold->value >= 0.0 && threshold->value <= 100.0)) {
                return refuse("threshold", "a " + *indicator +
                                               " threshold is a percent of the picture (0 to 100)");
            }
            rule.threshold = threshold->percent ? threshold->fraction : threshold->value;
            if (*id == kBlackout) {
                return refuse("indicator",
                              "indicator 'blackout' reads 1 only on black pictures, which "
                              "indicator rules leave out: watch them with event = \"black\"");
            }
            if (!rule.relative && !reachable(*id, rule, *threshold, *indicator)) {
                return std::nullopt;
            }
        } else {
            const Condition* condition = event ? conditionNamed(*event) : nullptr;
            if (condition != nullptr && (condition->keys & (kBlackLevelKeys | kLumaRangeKeys))) {
                if (!levels(rule, *condition)) return std::nullopt;
            } else {
                for (const char* key : {"max_level", "min_share", "low", "high"}) {
                    if (table_.contains(key)) {
                        return refuse(key, std::string("key '") + key + "' applies to " +
                                               levelConditions() + " rules");
                    }
                }
            }
            if (!event) {
                return refuse("", "rule '" + rule.id + "' needs an indicator or an event (" +
                                      conditionNames() + ")");
            }
            if (condition == nullptr) {
                return refuse("event", "unknown event '" + *event + "' without an indicator (" +
                                           conditionNames() + ")");
            }
            rule.type = *event;
            rule.watch = condition->watch;
            if ((condition->keys & kMinDurationKey) == 0 && table_.contains("min_duration")) {
                const char* note = condition->minDurationNote;
                return refuse("min_duration", "key 'min_duration' does not apply to " + *event +
                                                  " rules" +
                                                  (note ? " (" + std::string(note) + ")" : ""));
            }
            if ((condition->keys & kThresholdKey) != 0) {
                rule.direction = *condition->direction;
                if (threshold && threshold->percent && condition->percentRefusal == nullptr) {
                    return refuse("threshold", "key 'threshold' must be a number: a " + *event +
                                                   " threshold is not a share of the picture");
                }
                rule.threshold = threshold ? threshold->value : condition->defaultThreshold;
                if (condition->percentRefusal != nullptr &&
                    !(rule.threshold >= 0.0 && rule.threshold <= 100.0)) {
                    return refuse("threshold", condition->percentRefusal);
                }
                if (condition->rangeRefusal != nullptr &&
                    !(rule.threshold >= condition->thresholdFrom &&
                      rule.threshold < condition->thresholdUnder)) {
                    return refuse("threshold", condition->rangeRefusal);
                }
                if (direction && *direction != directionName(*condition->direction)) {
                    return refuse("direction", condition->directionRefusal);
                }
            }
            for (const auto& [key, bit] : {std::pair{"threshold", kThresholdKey},
                                           {"direction", kDirectionKey},
                                           {"statistic", kStatisticKey}}) {
                if ((condition->keys & bit) == 0 && table_.contains(key)) {
                    return refuse(key, std::string("key '") + key + "' does not apply to " +
                                           *event + " rules");
                }
            }
        }
        if (rule.statistic != Statistic::None && table_.contains("min_duration")) {
            return refuse("min_duration", "a statistic rule rates the whole file: no min_duration");
        }
        if (rule.maxCount >= 0 && rule.statistic != Statistic::None) {
            return refuse("max_count", "a statistic rule rates the whole file: no max_count");
        }
        if (rule.maxCount >= 0 && (conditionOf(rule.watch).keys & kMinDurationKey) == 0) {
            return refuse("max_count",
                          "key 'max_count' counts runs of frames: it does not apply "
                          "to " +
                              rule.type + " rules");
        }
        if (rule.relative && (rule.watch != Watch::Indicator || rule.statistic != Statistic::None ||
                              rule.direction != Direction::Above || !(rule.threshold > 1.0) ||
                              (threshold && threshold->percent))) {
            return refuse("relative",
                          "key 'relative' applies to per-frame indicator rules watching values "
                          "above a factor over 1");
        }
        if (!grid(rule)) return std::nullopt;
        if (!list("not_during", rule.notDuring)) return std::nullopt;
        if (!ebuItem(rule.ebu)) return std::nullopt;
        return rule;
    }

  private:
    // A threshold the indicator's values never pass on the bad side (a
    // letterbox share written as a percent without its sign: 25 for 25 %)
    // would make a rule that never holds.
    bool reachable(IndicatorId id, const Rule& rule, const Amount& threshold,
                   const std::string& indicator) {
        const auto figure = [](double v) {
            char text[32];
            std::snprintf(text, sizeof text, "%g", v);
            return std::string(text);
        };
        const ValueBounds bounds = valueBounds(id);
        const bool above = rule.direction == Direction::Above;
        if (above ? rule.threshold < bounds.high : rule.threshold > bounds.low) return true;
        const std::string range = threshold.percent ? "0 % to 100 %"
                                  : std::isinf(bounds.high)
                                      ? figure(bounds.low) + " or more"
                                      : figure(bounds.low) + " to " + figure(bounds.high);
        const std::string written = figure(threshold.value) + (threshold.percent ? " %" : "");
        std::string hint;
        if (shareOfPicture(id) && !threshold.percent && rule.threshold > bounds.high) {
            hint = "; a percent is written \"" + written + " %\"";
        }
        refuse("threshold", "key 'threshold': " + indicator + " never reads " +
                                directionName(rule.direction) + " " + written + " (it reads " +
                                range + hint + ")");
        return false;
    }

    // grid_ratio and grid_share: blockiness statistics watched below only.
    bool grid(Rule& rule) {
        const bool applies = rule.watch == Watch::Indicator && rule.indicator == kBlockiness &&
                             rule.statistic != Statistic::None &&
                             rule.direction == Direction::Below;
        for (const char* key : {"grid_ratio", "grid_share"}) {
            if (!table_.contains(key)) continue;
            if (!applies) {
                refuse(key, std::string("key '") + key +
                                "' applies to blockiness statistics watched below");
                return false;
            }
            const std::optional<double> v = number(key);
            if (!v) return false;
            const bool ratio = std::string_view(key) == "grid_ratio";
            if (!(*v >= 0.0) || (!ratio && *v > 100.0)) {
                refuse(key, ratio ? "key 'grid_ratio' must be 0 or more"
                                  : "key 'grid_share' is a percent of the grid (0 to 100)");
                return false;
            }
            (ratio ? rule.gridRatio : rule.gridShare) = *v;
        }
        return true;
    }

    // max_level and min_share (black), low and high (luma_levels).
    bool levels(Rule& rule, const Condition& condition) {
        const bool black = (condition.keys & kBlackLevelKeys) != 0;
        const std::string event = condition.name;
        static const std::vector<std::string> kBlackKeys = {"max_level", "min_share"};
        static const std::vector<std::string> kLevelKeys = {"low", "high"};
        for (const std::string& key : black ? kLevelKeys : kBlackKeys) {
            if (table_.contains(key)) {
                refuse(key, "key '" + key + "' does not apply to " + event + " rules");
                return false;
            }
        }
        static const std::vector<std::string> kBlackLevel = {"max_level"};
        for (const std::string& key : black ? kBlackLevel : kLevelKeys) {
            const toml::node* node = table_.get(key);
            if (node == nullptr) continue;
            const auto* i = node->as_integer();
            const auto* s = node->as_string();
            const std::optional<Amount> percent = s ? percentText(s->get()) : std::nullopt;
            const double level = i         ? static_cast<double>(i->get())
                                 : percent ? videoLevel(percent->value)
                                           : -1.0;
            if (!(level >= 0.0 && level <= 255.0)) {
                refuse(key, "key '" + key +
                                "' must be a luma level from 0 to 255, or a percent of the video "
                                "range (0 % is 16, 100 % is 235)");
                return false;
            }
            const int v = static_cast<int>(level);
            (key == "max_level" ? rule.maxLevel : key == "low" ? rule.low : rule.high) = v;
        }
        if (black) {
            const std::optional<Amount> found = amount("min_share");
            if (fault_.failed()) return false;
            const std::optional<double> share = found ? std::optional(found->value) : std::nullopt;
            if (share && !(*share > 0.0 && *share <= 100.0)) {
                refuse("min_share",
                       "key 'min_share' is a percent of the picture (above 0, up to 100)");
                return false;
            }
            if (share || rule.maxLevel >= 0) {
                rule.minShare = share ? *share : 98.0;
                if (rule.maxLevel < 0) rule.maxLevel = 32;
            }
        } else if (rule.low > rule.high) {
            refuse("low", "key 'low' must not be above 'high'");
            return false;
        } else if (rule.low == 0 && rule.high == 255) {
            refuse(table_.contains("low") ? "low" : "high",
                   "keys 'low' = 0 and 'high' = 255 leave no luma level outside them");
            return false;
        }
        return true;
    }

    // from and to: seconds, or a timecode from the start. A window that ends
    // before it starts, whatever the frame rate, would judge nothing.
    bool window(Rule& rule) {
        for (const char* key : {"from", "to"}) {
            std::string text;
            if (!timeKey(key, text)) return false;
            (std::string_view(key) == "from" ? rule.from : rule.to) = text;
        }
        if (!rule.from.empty() && !rule.to.empty()) {
            const double from = parseTime(rule.from, 1e9).value_or(0.0);
            double to = parseTime(rule.to, 1e9).value_or(0.0);
            if (rule.to.find(':') != std::string::npos && to != std::floor(to)) {
                to = std::floor(to) + 1.0;  // frames of a timecode: up to a second
            }
            if (to <= from) {
                refuse("to", "key 'to' must be after 'from'");
                return false;
            }
        }
        return true;
    }

    bool timeKey(const char* key, std::string& out) {
        const toml::node* node = table_.get(key);
        if (node == nullptr) return true;
        return readTime(*node, key, out, fault_);
    }

  public:
    // A time: a number of seconds (0 or more), or a "HH:MM:SS:FF" text.
    static bool readTime(const toml::node& node, const std::string& key, std::string& out,
                         TomlFault& fault) {
        if (const auto* s = node.as_string()) {
            if (parseTime(s->get(), 1000.0)) {
                out = s->get();
                return true;
            }
        } else if (node.is_number()) {
            const double v = node.value<double>().value_or(-1.0);
            if (v >= 0.0 && std::isfinite(v)) {
                out = tomlReal(v);
                return true;
            }
        }
        fault.at(node.source(),
                 "key '" + key + "' must be seconds (0 or more) or a timecode \"HH:MM:SS:FF\"");
        return false;
    }

  private:
    std::nullopt_t refuse(std::string_view key, const std::string& what) {
        const toml::node* node = key.empty() ? nullptr : table_.get(key);
        fault_.at(node != nullptr ? node->source() : table_.source(), what);
        return std::nullopt;
    }

    std::optional<std::string> text(std::string_view key, bool required) {
        const toml::node* node = table_.get(key);
        if (node == nullptr) {
            if (required) {
                fault_.at(table_.source(), "a rule needs the key '" + std::string(key) + "'");
            }
            return std::nullopt;
        }
        if (const auto* s = node->as_string()) {
            if (!s->get().empty()) return s->get();
            fault_.at(node->source(), "key '" + std::string(key) + "' is empty");
            return std::nullopt;
        }
        fault_.at(node->source(), "key '" + std::string(key) + "' must be a string");
        return std::nullopt;
    }

    // A number, or a percent (the caller decides what it means).
    std::optional<Amount> amount(std::string_view key) {
        const toml::node* node = table_.get(key);
        if (node == nullptr) return std::nullopt;
        if (const auto* s = node->as_string()) {
            if (std::optional<Amount> percent = percentText(s->get())) return percent;
            fault_.at(node->source(), "key '" + std::string(key) +
                                          "' must be a finite number or a percent such as \"2 %\"");
            return std::nullopt;
        }
        const std::optional<double> v = number(key);
        if (!v) return std::nullopt;
        return Amount{*v, *v, false};
    }

    std::optional<double> number(std::string_view key) {
        const toml::node* node = table_.get(key);
        if (node == nullptr) return std::nullopt;
        if (const auto* f = node->as_floating_point()) {
            if (std::isfinite(f->get())) return f->get();
        } else if (const auto* i = node->as_integer()) {
            return static_cast<double>(i->get());
        }
        fault_.at(node->source(), "key '" + std::string(key) + "' must be a finite number");
        return std::nullopt;
    }

    bool list(std::string_view key, std::vector<std::string>& out) {
        const toml::node* node = table_.get(key);
        if (node == nullptr) return true;
        const toml::array* array = node->as_array();
        if (array != nullptr) {
            for (const toml::node& item : *array) {
                const auto* s = item.as_string();
                if (s == nullptr || s->get().empty()) {
                    array = nullptr;
                    break;
                }
                out.push_back(s->get());
            }
        }
        if (array == nullptr) {
            fault_.at(node->source(),
                      "key '" + std::string(key) + "' must be a list of event types");
            return false;
        }
        return true;
    }

    bool ebuItem(EbuItem& item) {
        const toml::node* node = table_.get("ebu_item");
        if (node == nullptr) return true;
        const toml::table* t = node->as_table();
        if (t == nullptr) {
            fault_.at(node->source(),
                      "key 'ebu_item' must be a table { id = \"...\", name = \"...\" }");
            return false;
        }
        for (const auto& [key, value] : *t) {
            std::string* field = key == "id" ? &item.id : key == "name" ? &item.name : nullptr;
            if (field == nullptr) {
                fault_.at(key.source(), "unknown key 'ebu_item." + std::string(key.str()) + "'");
                return false;
            }
            const auto* s = value.as_string();
            if (s == nullptr) {
                fault_.at(value.source(),
                          "key 'ebu_item." + std::string(key.str()) + "' must be a string");
                return false;
            }
            *field = s->get();
        }
        return true;
    }

    const toml::table& table_;
    TomlFault& fault_;
};

}  // namespace

std::optional<Profile> parseProfile(const std::string& text, const std::string& source,
                                    std::string& error) {
    TomlFault fault("profile " + source);
    toml::table root;
    try {
        root = toml::parse(text, source);
    } catch (const toml::parse_error& e) {
        fault.parseError(e, text);
        error = fault.text();
        return std::nullopt;
    }
    Profile profile;
    // Looked up by hash, so that the time to parse grows with the profile's
    // length, not with its square.
    std::unordered_set<std::string> ids;
    std::unordered_set<std::string> types;
    std::unordered_set<std::string> frameTypes;  // made by rules that judge frame by frame
    for (const auto& [key, node] : root) {
        if (key == "ignore_head" || key == "ignore_tail") {
            if (!RuleReader::readTime(
                    node, std::string(key.str()),
                    key == "ignore_head" ? profile.ignoreHead : profile.ignoreTail, fault))
                break;
        } else if (key == "name" || key == "description") {
            const auto* s = node.as_string();
            if (s == nullptr) {
                fault.at(node.source(), "key '" + std::string(key.str()) + "' must be a string");
                break;
            }
            (key == "name" ? profile.name : profile.description) = s->get();
        } else if (key == "rule") {
            const toml::array* rules = node.as_array();
            if (rules == nullptr || !rules->is_array_of_tables()) {
                fault.at(node.source(), "'rule' must be an array of tables: [[rule]]");
                break;
            }
            for (const toml::node& item : *rules) {
                std::optional<Rule> rule = RuleReader(*item.as_table(), fault).read();
                if (!rule) break;
                if (!ids.insert(rule->id).second) {
                    fault.at(item.source(), "rule id '" + rule->id + "' is used twice");
                    break;
                }
                types.insert(rule->type);
                if (rule->statistic == Statistic::None &&
                    (conditionOf(rule->watch).keys & kMinDurationKey) != 0) {
                    frameTypes.insert(rule->type);
                }
                profile.rules.push_back(std::move(*rule));
            }
        } else {
            fault.at(key.source(), "unknown key '" + std::string(key.str()) +
                                       "' (name, description, ignore_head, ignore_tail, [[rule]])");
        }
        if (fault.failed()) break;
    }
    if (!fault.failed() && profile.rules.empty()) {
        fault.at(root.source(), "no [[rule]]");
    }
    // not_during names event types of the profile; a per-frame rule's own
    // type holds on every frame it counts, and would leave it none.
    for (size_t i = 0; i < profile.rules.size() && !fault.failed(); ++i) {
        const Rule& r = profile.rules[i];
        for (const std::string& type : r.notDuring) {
            const bool own = type == r.type && r.statistic == Statistic::None;
            const bool made = types.count(type) != 0;
            if (!made || own || frameTypes.count(type) == 0) {
                const toml::node* rule = root["rule"][i].node();
                const toml::node* list = rule ? rule->as_table()->get("not_during") : nullptr;
                fault.at(list ? list->source() : root.source(),
                         own ? "key 'not_during' names the rule's own event type '" + type +
                                   "': the rule would never hold"
                         : !made ? "key 'not_during' names '" + type +
                                       "', which no rule of the profile makes"
                                 : "key 'not_during' names '" + type +
                                       "', which the profile rates over the whole input only: "
                                       "it keeps no frame out");
                break;
            }
        }
    }
    if (fault.failed()) {
        error = fault.text();
        return std::nullopt;
    }
    return profile;
}

std::optional<Profile> loadProfile(const std::string& path, std::string& error,
                                   const std::atomic<int>* stop, bool* interrupted) {
    if (interrupted != nullptr) *interrupted = false;
    if (path == "default") return defaultProfile();
    const auto stopped = [&] {
        if (stop == nullptr || stop->load() == 0) return false;
        if (interrupted != nullptr) *interrupted = true;
        error = "cannot read the profile " + path + ": " + std::strerror(EINTR);
        return true;
    };
    const auto failed = [&](int code) {
        error = "cannot read the profile " + path + ": " + std::strerror(code);
        return std::nullopt;
    };
    int fd = -1;
    // Opening a FIFO waits for its writer.
    while ((fd = open(path.c_str(), O_RDONLY | O_CLOEXEC)) < 0) {
        if (errno != EINTR) return failed(errno);
        if (stopped()) return std::nullopt;
    }
    std::string text;
    char buffer[65536];
    for (;;) {
        const ssize_t got = read(fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) {
            if (stopped()) {
                close(fd);
                return std::nullopt;
            }
            continue;
        }
        if (got < 0) {
            const int code = errno;
            close(fd);
            return failed(code);
        }
        if (got == 0) break;
        if (text.size() + static_cast<size_t>(got) > kMaxProfileBytes) {
            close(fd);
            error = "the profile " + path + " is larger than " +
                    std::to_string(kMaxProfileBytes >> 20) + " MiB";
            return std::nullopt;
        }
        text.append(buffer, static_cast<size_t>(got));
    }
    close(fd);
    return parseProfile(text, path, error);
}

std::string unknownEndTailNote(const Profile& profile, bool live) {
    if (profile.ignoreTail.empty()) return "";
    return "ignore_tail (" + profile.ignoreTail + ") does not apply to " +
           (live ? "a live input" : "an input that declares neither its duration nor its frames") +
           ", whose end is not known before it comes: every frame is judged";
}

bool watchesQuantiser(const Profile& profile) {
    for (const Rule& rule : profile.rules) {
        if (rule.watch == Watch::Quantiser) return true;
    }
    return false;
}

std::string timecodeBeyondRate(const Profile& profile, double fps) {
    std::vector<std::pair<std::string, const std::string*>> times = {
        {"ignore_head", &profile.ignoreHead}, {"ignore_tail", &profile.ignoreTail}};
    for (const Rule& rule : profile.rules) {
        times.emplace_back("rule " + rule.id + ": from", &rule.from);
        times.emplace_back("rule " + rule.id + ": to", &rule.to);
    }
    for (const auto& [key, text] : times) {
        if (!text->empty() && !parseTime(*text, fps)) {
            char rate[32];
            std::snprintf(rate, sizeof rate, "%g", fps);
            return key + " " + *text + " is not a timecode at " + rate + " frames a second";
        }
    }
    return "";
}

}  // namespace lumaqc::qc
