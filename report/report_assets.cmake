# Compiles the HTML report's web assets (the vendored chart library, its
# licence, the page script and style) into the report library.
set(LUMAQC_REPORT_ASSET_FILES
    uplotScript=${CMAKE_CURRENT_LIST_DIR}/vendor/uPlot.iife.min.js
    uplotStyle=${CMAKE_CURRENT_LIST_DIR}/vendor/uPlot.min.css
    uplotLicense=${CMAKE_CURRENT_LIST_DIR}/vendor/uPlot.LICENSE
    pageScript=${CMAKE_CURRENT_LIST_DIR}/report_page.js
    pageStyle=${CMAKE_CURRENT_LIST_DIR}/report_page.css
    decisionStyle=${CMAKE_CURRENT_LIST_DIR}/report_decision.css)
set(LUMAQC_REPORT_ASSET_DEPENDS)
foreach(asset IN LISTS LUMAQC_REPORT_ASSET_FILES)
  string(REGEX REPLACE "^[^=]*=" "" path "${asset}")
  list(APPEND LUMAQC_REPORT_ASSET_DEPENDS "${path}")
endforeach()
string(REPLACE ";" "|" LUMAQC_REPORT_ASSET_ARG "${LUMAQC_REPORT_ASSET_FILES}")
set(LUMAQC_REPORT_ASSETS_CPP ${CMAKE_CURRENT_BINARY_DIR}/generated/report_assets.cpp)
add_custom_command(
  OUTPUT ${LUMAQC_REPORT_ASSETS_CPP}
  COMMAND ${CMAKE_COMMAND} -DOUTPUT=${LUMAQC_REPORT_ASSETS_CPP} -DASSETS=${LUMAQC_REPORT_ASSET_ARG}
          -P ${CMAKE_CURRENT_LIST_DIR}/embed_assets.cmake
  DEPENDS ${LUMAQC_REPORT_ASSET_DEPENDS} ${CMAKE_CURRENT_LIST_DIR}/embed_assets.cmake
  COMMENT "Embedding the HTML report assets"
  VERBATIM)
target_sources(lumaqc_report PRIVATE ${LUMAQC_REPORT_ASSETS_CPP})
