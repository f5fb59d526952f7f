// The first fault found in a TOML file the program reads (a QC profile, a
// channels file), as one line naming the file, the line and what is wrong:
// "profile NAME, line 4: ...". Later faults are not recorded.
#pragma once

#include <toml++/toml.h>

#include <cctype>
#include <string>
#include <string_view>
#include <utility>

namespace lumaqc::qc {

class TomlFault {
  public:
    // `subject` names the file as the message starts: "profile NAME".
    explicit TomlFault(std::string subject) : subject_(std::move(subject)) {}
    bool failed() const { return !text_.empty(); }
    const std::string& text() const { return text_; }
    void at(const toml::source_region& where, const std::string& what) {
        if (failed()) return;
        text_ = subject_;
        if (where.begin.line > 0) text_ += ", line " + std::to_string(where.begin.line);
        text_ += ": " + what;
    }

    // The parser's own fault in `text`, with the key its line sets and what
    // the value most likely lacks: "line 6: key 'min_duration': Error while
    // parsing ... (a number takes no unit: seconds as 2.0, a percent as "2 %")".
    void parseError(const toml::parse_error& e, std::string_view text) {
        std::string_view line = text;
        for (auto n = e.source().begin.line; n > 1 && !line.empty(); --n) {
            const size_t next = line.find('\n');
            line = next == std::string_view::npos ? std::string_view() : line.substr(next + 1);
        }
        line = line.substr(0, line.find_first_of("\r\n"));
        std::string what(e.description());
        const size_t equals = line.find('=');
        if (equals != std::string_view::npos) {
            const std::string_view key = trimmed(line.substr(0, equals));
            const std::string_view value = trimmed(line.substr(equals + 1));
            const bool bare =
                !key.empty() && key.find_first_not_of(
                                    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"
                                    "0123456789_-.") == std::string_view::npos;
            if (bare) what = "key '" + std::string(key) + "': " + what + hint(value);
        }
        at(e.source(), what);
    }

  private:
    static std::string_view trimmed(std::string_view s) {
        while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
        while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
        return s;
    }
    static std::string hint(std::string_view value) {
        if (value.empty()) return "";
        const char first = value.front();
        const std::string word(value.substr(0, value.find_first_of(" \t#")));
        // A word processor's quotes: U+2018, U+201C.
        if (value.starts_with("\xE2\x80\x98") || value.starts_with("\xE2\x80\x9C")) {
            return " (typographic quotes are not TOML's: write \"...\")";
        }
        if ((first == '"' || first == '\'') && value.find(first, 1) == std::string_view::npos) {
            return " (the string is not closed on its line)";
        }
        if (std::isdigit(static_cast<unsigned char>(first)) || first == '-' || first == '+') {
            if (value.find(':') != std::string_view::npos) {
                return " (a timecode is written in quotes: \"" + word + "\")";
            }
            if (value.find_first_of("%abcdefghijklmnopqrstuvwxyz") != std::string_view::npos) {
                return " (a number takes no unit: seconds as 2.0, a percent as \"2 %\")";
            }
        }
        if (word == "True" || word == "False" || word == "TRUE" || word == "FALSE") {
            return " (true and false are written in lower case)";
        }
        if (std::isalpha(static_cast<unsigned char>(first))) {
            return " (text is written in quotes: \"" + word + "\")";
        }
        return "";
    }

    std::string subject_;
    std::string text_;
};

}  // namespace lumaqc::qc
