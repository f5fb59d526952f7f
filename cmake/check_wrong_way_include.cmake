# Shows that the compiler keeps the layering: with the include paths of the
# lumaqc_<folder> target, a header of a folder it may use compiles and a
# header of a folder above it does not.
#
#   cmake -DCOMPILER=c++ -DINCLUDES="a|b" -DWORK=dir -DALLOWED=tools/simd.h
#         -DWRONG=report/json_sink.h -P check_wrong_way_include.cmake
cmake_minimum_required(VERSION 3.20)

string(REPLACE "|" ";" includes "${INCLUDES}")
set(flags -std=c++20 -fsyntax-only)
foreach(dir IN LISTS includes)
  list(APPEND flags "-I${dir}")
endforeach()
file(MAKE_DIRECTORY ${WORK})

function(compile header out_result out_error)
  file(WRITE ${WORK}/include_check.cpp "#include \"${header}\"\n")
  execute_process(COMMAND ${COMPILER} ${flags} ${WORK}/include_check.cpp
                  RESULT_VARIABLE result ERROR_VARIABLE error OUTPUT_QUIET)
  set(${out_result} ${result} PARENT_SCOPE)
  set(${out_error} "${error}" PARENT_SCOPE)
endfunction()

compile(${ALLOWED} result error)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "${ALLOWED} should compile with these include paths:\n${error}")
endif()
compile(${WRONG} result error)
if(result EQUAL 0)
  message(FATAL_ERROR "${WRONG} compiled with these include paths, against the layering")
endif()
# gcc says "No such file or directory", clang "file not found".
if(NOT error MATCHES "No such file|file not found")
  message(FATAL_ERROR "${WRONG} failed for another reason than a missing header:\n${error}")
endif()
message(STATUS "${WRONG} is out of reach, ${ALLOWED} is not")
