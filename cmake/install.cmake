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

# The public headers only, included as <lumaqc/...>: lumaqc.h (the Analyzer),
# run.h (the whole analysis into sinks), indicators.h and the generated
# version.h. They include nothing of the library's insides.
install(FILES api/lumaqc/lumaqc.h api/lumaqc/run.h api/lumaqc/indicators.h
              ${PROJECT_BINARY_DIR}/generated/lumaqc/version.h
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/lumaqc)

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
# The decoding libraries are opened with dlopen when first needed: no
# package requires them, the static library needs libdl only.
set(LUMAQC_PC_REQUIRES_PRIVATE "libhwy")
set(LUMAQC_PC_LIBS_PRIVATE "")
if(LUMAQC_WITH_DECODER)
  set(LUMAQC_PC_LIBS_PRIVATE "${CMAKE_DL_LIBS}")
  list(TRANSFORM LUMAQC_PC_LIBS_PRIVATE PREPEND "-l")
endif()
configure_file(cmake/lumaqc.pc.in ${CMAKE_CURRENT_BINARY_DIR}/lumaqc.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/lumaqc.pc
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
