# What `cmake --install` puts under the prefix: the library (shared and
# static), its headers under include/lumaqc/, a CMake package
# (find_package(lumaqc CONFIG) gives lumaqc::lumaqc, the shared library, and
# lumaqc::lumaqc_static), a pkg-config file, the two programs and the JSON
# Schema of the --json document.
include(CMakePackageConfigHelpers)

set(LUMAQC_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/lumaqc)

install(TARGETS lumaqc_shared lumaqc_static EXPORT lumaqcTargets
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
        INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(TARGETS lumaqc lumaqc-testcard RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

# <lumaqc/lumaqc.h> (the Analyzer), <lumaqc/run.h> (running the whole
# analysis into outputs) and the library headers they use, which include each
# other by their folder ("report/result_sink.h") from include/lumaqc/.
install(FILES api/lumaqc/lumaqc.h api/lumaqc/run.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/lumaqc)
foreach(header indicators/indicator_id.h io/frame_source.h engine/run.h report/result_sink.h
               report/output_file.h report/results_summary.h report/json_sink.h
               report/html_sink.h report/csv_sink.h report/thumbnails.h report/text_sinks.h
               qc/detector.h qc/profile.h report/decision_sink.h report/decision_view.h
               settings/settings.h)
  get_filename_component(folder ${header} DIRECTORY)
  install(FILES ${header} DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/lumaqc/${folder})
endforeach()

install(FILES schema/lumaqc-results.schema.json DESTINATION ${CMAKE_INSTALL_DATADIR}/lumaqc)

set(LUMAQC_WITH_DECODER OFF)
if(LUMAQC_DECODER AND LIBAV_FOUND)
  set(LUMAQC_WITH_DECODER ON)
endif()
install(EXPORT lumaqcTargets NAMESPACE lumaqc:: DESTINATION ${LUMAQC_CMAKE_DIR})
configure_package_config_file(cmake/lumaqcConfig.cmake.in
                              ${CMAKE_CURRENT_BINARY_DIR}/lumaqcConfig.cmake
                              INSTALL_DESTINATION ${LUMAQC_CMAKE_DIR})
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/lumaqcConfigVersion.cmake
                                 COMPATIBILITY SameMinorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/lumaqcConfig.cmake
              ${CMAKE_CURRENT_BINARY_DIR}/lumaqcConfigVersion.cmake
        DESTINATION ${LUMAQC_CMAKE_DIR})

# pkg-config: the prefix is found from the file's own place, so the
# installed tree can move.
file(RELATIVE_PATH LUMAQC_PC_TO_PREFIX
     ${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_LIBDIR}/pkgconfig ${CMAKE_INSTALL_PREFIX})
set(LUMAQC_PC_REQUIRES_PRIVATE "libhwy")
if(LUMAQC_WITH_DECODER)
  string(APPEND LUMAQC_PC_REQUIRES_PRIVATE " libavformat libavcodec libswscale libavutil")
endif()
configure_file(cmake/lumaqc.pc.in ${CMAKE_CURRENT_BINARY_DIR}/lumaqc.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/lumaqc.pc
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
