// The web assets of the HTML report, compiled into the binary from the files
// beside this header (report/embed_assets.cmake generates the definitions).
#pragma once

#include <string_view>

namespace lumaqc::report_assets {

extern const std::string_view uplotScript;    // vendor/uPlot.iife.min.js
extern const std::string_view uplotStyle;     // vendor/uPlot.min.css
extern const std::string_view uplotLicense;   // vendor/uPlot.LICENSE
extern const std::string_view pageScript;     // report_page.js
extern const std::string_view pageStyle;      // report_page.css
extern const std::string_view decisionStyle;  // report_decision.css (pages under a profile)

}  // namespace lumaqc::report_assets
