# Checks that the sources follow the dependency graph between the source folders,
# which one include directory (the source root) cannot enforce by itself:
#
#   platform  nothing else of ours
#   search    platform
#   archive   platform, and search/MemberAccess.h, the interface it implements
#   plugins   archive/ArchiverApi.h and archive/MemberCopyName.h (the interface they
#             share with the binding) and platform/'s file access (Files.h,
#             UniqueFd.h), the one part of the program they link
#   cli       all but app
#   app       all but cli
#
# and that Qt is included in none of them but app/. Every `#include "folder/..."`
# line of each folder's sources is checked; a failure names the file, the line and
# the include.
#
# Run: cmake -DSOURCE_DIR=<source root> -P layering_check.cmake
cmake_minimum_required(VERSION 3.25)

if(NOT SOURCE_DIR)
  message(FATAL_ERROR "layering_check: SOURCE_DIR is not set")
endif()

set(ourFolders platform search archive plugins cli app)

# What each folder may include: whole folders, or single headers (with a "/").
set(allowed_platform platform)
set(allowed_search platform search)
set(allowed_archive platform archive search/MemberAccess.h)
set(allowed_plugins plugins archive/ArchiverApi.h archive/MemberCopyName.h
    platform/Files.h platform/UniqueFd.h)
set(allowed_cli platform search archive cli)
set(allowed_app platform search archive app)
set(qtAllowed app)

set(violations "")
foreach(folder IN LISTS ourFolders)
  file(GLOB_RECURSE sources RELATIVE ${SOURCE_DIR}
       ${SOURCE_DIR}/${folder}/*.h ${SOURCE_DIR}/${folder}/*.cpp)
  list(SORT sources)
  foreach(source IN LISTS sources)
    file(READ ${SOURCE_DIR}/${source} text)
    # One list element a line: the list separator and the brackets, which would
    # group elements, are masked first.
    string(REPLACE ";" "<semicolon>" text "${text}")
    string(REPLACE "[" "<open>" text "${text}")
    string(REPLACE "]" "<close>" text "${text}")
    string(REPLACE "\n" ";" lines "${text}")
    set(number 0)
    foreach(line IN LISTS lines)
      math(EXPR number "${number} + 1")
      if(line MATCHES "^[ \t]*#[ \t]*include[ \t]*<(Q[A-Za-z]*)")
        if(NOT folder IN_LIST qtAllowed)
          string(STRIP "${line}" shown)
          list(APPEND violations "${source}:${number}: ${shown} (Qt outside app/)")
        endif()
        continue()
      endif()
      if(NOT line MATCHES "^[ \t]*#[ \t]*include[ \t]*\"(([^\"/]+)/[^\"]*)\"")
        continue()
      endif()
      set(header "${CMAKE_MATCH_1}")
      set(headerFolder "${CMAKE_MATCH_2}")
      if(headerFolder IN_LIST allowed_${folder} OR header IN_LIST allowed_${folder})
        continue()
      endif()
      string(STRIP "${line}" shown)
      list(APPEND violations "${source}:${number}: ${shown} (${folder}/ may not include ${header})")
    endforeach()
  endforeach()
endforeach()

if(violations)
  list(LENGTH violations count)
  list(JOIN violations "\n" report)
  string(REPLACE "<semicolon>" ";" report "${report}")
  string(REPLACE "<open>" "[" report "${report}")
  string(REPLACE "<close>" "]" report "${report}")
  message(FATAL_ERROR "${count} include(s) break the dependency graph:\n${report}")
endif()
