# The manual pages lumaqc(1) and lumaqc-batch(1), generated with help2man from
# the programs' own --help and --version, so they say what the programs say.
# Built with the default target when help2man is installed (scripts/
# install-deps.sh installs it; `make run` leaves it out); installed under
# share/man/man1 when they have been built.
find_program(HELP2MAN_EXECUTABLE help2man)
set(LUMAQC_MAN_DIR ${CMAKE_BINARY_DIR}/man)
if(HELP2MAN_EXECUTABLE)
  set(pages ${LUMAQC_MAN_DIR}/lumaqc.1)
  add_custom_command(
    OUTPUT ${LUMAQC_MAN_DIR}/lumaqc.1
    COMMAND ${CMAKE_COMMAND} -E make_directory ${LUMAQC_MAN_DIR}
    COMMAND ${HELP2MAN_EXECUTABLE} --no-info --section 1 --source "lumaqc ${PROJECT_VERSION}"
            --name "rate the quality of video without a reference"
            --include ${PROJECT_SOURCE_DIR}/cmake/lumaqc.h2m
            --output ${LUMAQC_MAN_DIR}/lumaqc.1 $<TARGET_FILE:lumaqc>
    DEPENDS lumaqc ${PROJECT_SOURCE_DIR}/cmake/lumaqc.h2m
    COMMENT "Manual page lumaqc.1"
    VERBATIM)
  if(TARGET lumaqc_python)
    list(APPEND pages ${LUMAQC_MAN_DIR}/lumaqc-batch.1)
    # argparse's usage ("usage:", on several lines) made into the one
    # "Usage:" line help2man reads as the synopsis.
    set(batch_help "sh ${PROJECT_SOURCE_DIR}/cmake/argparse-help.sh ${CMAKE_BINARY_DIR}/python/lumaqc-batch")
    add_custom_command(
      OUTPUT ${LUMAQC_MAN_DIR}/lumaqc-batch.1
      COMMAND ${CMAKE_COMMAND} -E make_directory ${LUMAQC_MAN_DIR}
      COMMAND ${HELP2MAN_EXECUTABLE} --no-info --section 1 --source "lumaqc ${PROJECT_VERSION}"
              --name "analyse many video files with lumaqc on a Dask cluster"
              --include ${PROJECT_SOURCE_DIR}/cmake/lumaqc-batch.h2m
              --output ${LUMAQC_MAN_DIR}/lumaqc-batch.1 ${batch_help}
      DEPENDS lumaqc_python ${CMAKE_BINARY_DIR}/python/lumaqc-batch
              ${PROJECT_SOURCE_DIR}/python/lumaqc/batch.py ${PROJECT_SOURCE_DIR}/cmake/lumaqc-batch.h2m
              ${PROJECT_SOURCE_DIR}/cmake/argparse-help.sh
      COMMENT "Manual page lumaqc-batch.1"
      VERBATIM)
  endif()
  add_custom_target(man ALL DEPENDS ${pages})
  foreach(page IN LISTS pages)
    install(FILES ${page} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 OPTIONAL)
  endforeach()
else()
  message(STATUS "lumaqc: help2man not found; no manual pages")
endif()
