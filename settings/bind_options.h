// The option table (settingFields()) bound to a CLI11 parser: every front end
// that reads options as words (the program, lumaqc-batch through the Python
// module) declares them here, so an option is read, checked and refused with
// the same words everywhere. Inline, so that the parser is compiled into
// those front ends and not into the library.
#pragma once

#include <CLI/CLI.hpp>
#include <sstream>
#include <string>
#include <type_traits>
#include <variant>
#include <vector>

#include "settings/settings.h"

namespace lumaqc {

// Declares every named option of the settings table on `app`, grouped by
// topic, its value read straight into `settings` (which must outlive the
// parsing).
inline void bindSettings(CLI::App& app, Settings& settings) {
    for (const SettingField& field : settingFields()) {
        CLI::Option* option = std::visit(
            [&](auto member) -> CLI::Option* {
                auto& value = settings.*member;
                if constexpr (std::is_same_v<std::remove_reference_t<decltype(value)>, bool>) {
                    return app.add_flag(field.option, value, field.help);
                } else {
                    return app.add_option(field.option, value, field.help);
                }
            },
            field.member);
        option->group(topicName(field.topic));
        if (field.check != nullptr) {
            option->check(CLI::Validator(field.check, field.range != nullptr ? field.range : ""));
        }
        if (field.choices != nullptr) {
            std::vector<std::string> choices;
            std::istringstream list(field.choices);
            for (std::string choice; std::getline(list, choice, ',');) choices.push_back(choice);
            option->check(CLI::IsMember(choices));
        }
        if (field.nonNegative) option->check(CLI::NonNegativeNumber);
        if (field.needs != nullptr) option->needs(app.get_option(field.needs));
    }
}

}  // namespace lumaqc
