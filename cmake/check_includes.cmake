# cmake -DFOLDER=<folder> -DALLOWED=<folder>,<folder>... -DSOURCE_DIR=<src> -DSTAMP=<file>
#       -P check_includes.cmake
#
# Fails when a file of <src>/<folder> includes a header of another folder of <src> that is not
# in ALLOWED (the library's own folder and those of its dependencies); touches STAMP when none
# does. Includes of anything that is not a folder of <src> (asio/, nlohmann/, ...) are no
# concern here. src/CMakeLists.txt runs it for every library.

cmake_minimum_required(VERSION 3.25)

foreach(var FOLDER ALLOWED SOURCE_DIR STAMP)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "check_includes.cmake: -D${var}=... is missing")
  endif()
endforeach()
string(REPLACE "," ";" allowed "${ALLOWED}")
string(REPLACE ";" ", " allowed_text "${allowed}")

file(GLOB_RECURSE files ${SOURCE_DIR}/${FOLDER}/*.h ${SOURCE_DIR}/${FOLDER}/*.cpp
     ${SOURCE_DIR}/${FOLDER}/*.in)
list(SORT files)

set(problems "")
foreach(file IN LISTS files)
  file(STRINGS ${file} includes REGEX "^[ \t]*#[ \t]*include[ \t]*[\"<][A-Za-z0-9_]+/")
  foreach(line IN LISTS includes)
    string(REGEX MATCH "[\"<](([A-Za-z0-9_]+)/[^\">]*)" ignored "${line}")
    set(header ${CMAKE_MATCH_1})
    set(used ${CMAKE_MATCH_2})
    if(NOT IS_DIRECTORY ${SOURCE_DIR}/${used} OR used IN_LIST allowed)
      continue()
    endif()
    # The line number, for an editor to jump to: the lines before the first such line, plus one.
    file(READ ${file} text)
    string(FIND "${text}" "${line}" at)
    string(SUBSTRING "${text}" 0 ${at} before)
    string(REGEX REPLACE "[^\n]" "" newlines "${before}")
    string(LENGTH "${newlines}" line_number)
    math(EXPR line_number "${line_number} + 1")
    file(RELATIVE_PATH shown ${SOURCE_DIR}/.. ${file})
    string(APPEND problems "${shown}:${line_number}: error: includes \"${header}\": the library "
                           "${FOLDER} may not use ${used} (it may use ${allowed_text})\n")
  endforeach()
endforeach()

if(problems)
  message(FATAL_ERROR "wrong-way include:\n${problems}")
endif()
file(TOUCH ${STAMP})
