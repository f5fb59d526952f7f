// The first fault found in a TOML file the program reads (a QC profile, a
// channels file), as one line naming the file, the line and what is wrong:
// "profile NAME, line 4: ...". Later faults are not recorded.
#pragma once

#include <toml++/toml.h>

#include <string>
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

  private:
    std::string subject_;
    std::string text_;
};

}  // namespace lumaqc::qc
