# Fails when a source file includes a header of a folder that its own folder
# may not use, so the folders keep depending on each other one way only.
#
#   cmake -DSOURCE_DIR=... -DLAYERS="tools:;indicators:tools;..." -P check_layers.cmake
#
# LAYERS lists each folder with the folders it uses directly ("folder:a,b");
# a folder may include its own headers and those of every folder it reaches
# through that list. <lumaqc/...> is the public header in api/.
cmake_minimum_required(VERSION 3.20)

set(folders)
foreach(layer IN LISTS LAYERS)
  string(REGEX MATCH "^([a-z]+):(.*)$" matched "${layer}")
  if(NOT matched)
    message(FATAL_ERROR "check_layers: malformed layer '${layer}'")
  endif()
  list(APPEND folders ${CMAKE_MATCH_1})
  string(REPLACE "," ";" uses_${CMAKE_MATCH_1} "${CMAKE_MATCH_2}")
endforeach()

# Everything each folder reaches, itself included.
foreach(folder IN LISTS folders)
  set(reach ${folder})
  set(pending ${uses_${folder}})
  while(pending)
    list(POP_FRONT pending next)
    if(NOT next IN_LIST reach)
      list(APPEND reach ${next})
      list(APPEND pending ${uses_${next}})
    endif()
  endwhile()
  set(reach_${folder} ${reach})
endforeach()

set(failures 0)
foreach(folder IN LISTS folders)
  file(GLOB_RECURSE files ${SOURCE_DIR}/${folder}/*.h ${SOURCE_DIR}/${folder}/*.cpp)
  foreach(file IN LISTS files)
    # A relative include could climb out of the folder past the include paths.
    file(STRINGS ${file} relative REGEX "^[ \t]*#[ \t]*include[ \t]*\"[^\"]*\\.\\./")
    foreach(line IN LISTS relative)
      file(RELATIVE_PATH shown ${SOURCE_DIR} ${file})
      message(SEND_ERROR "${shown}: ${line}  (include other folders' headers as \"folder/file.h\")")
      math(EXPR failures "${failures} + 1")
    endforeach()
    file(STRINGS ${file} includes REGEX "^[ \t]*#[ \t]*include[ \t]*[\"<][a-z_]+/")
    foreach(line IN LISTS includes)
      string(REGEX MATCH "include[ \t]*[\"<]([a-z_]+)/" matched "${line}")
      set(target ${CMAKE_MATCH_1})
      if(target STREQUAL "lumaqc")
        set(target api)
        # The public headers that include nothing of the library are leaves.
        if(line MATCHES "lumaqc/(indicators|version)\\.h")
          set(target "")
        endif()
      endif()
      if(target IN_LIST folders AND NOT target IN_LIST reach_${folder})
        file(RELATIVE_PATH shown ${SOURCE_DIR} ${file})
        message(SEND_ERROR "${shown}: ${line}  (${folder}/ may use: ${reach_${folder}})")
        math(EXPR failures "${failures} + 1")
      endif()
    endforeach()
  endforeach()
endforeach()
if(failures GREATER 0)
  message(FATAL_ERROR "${failures} include(s) against the layering")
endif()
