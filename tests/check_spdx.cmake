# SPDX-License-Identifier: MIT
# Every source file begins with its licence: cmake -DROOT=DIR -P check_spdx.cmake
# Only the source folders are searched, and links are not followed: a build tree
# may hold a wine prefix, whose drive z: links to /.
cmake_policy(SET CMP0009 NEW)
file(GLOB_RECURSE sources RELATIVE ${ROOT}
     ${ROOT}/src/* ${ROOT}/tests/*.cpp ${ROOT}/tests/*.hpp ${ROOT}/fuzz/*.cpp ${ROOT}/fuzz/*.hpp
     ${ROOT}/tools/* ${ROOT}/cmake/* ${ROOT}/completion/*)
file(GLOB scripts RELATIVE ${ROOT}
     ${ROOT}/CMakeLists.txt ${ROOT}/tests/CMakeLists.txt ${ROOT}/fuzz/CMakeLists.txt
     ${ROOT}/.ci/run ${ROOT}/bench/run ${ROOT}/fuzz/run ${ROOT}/tests/wine/run
     ${ROOT}/packaging/check ${ROOT}/packaging/debian-changelog ${ROOT}/man/psrate.1)
list(LENGTH scripts found)
if(NOT found EQUAL 10)
  message(FATAL_ERROR "expected 10 scripts and build files, found ${found}: ${scripts}")
endif()
set(missing "")
foreach(source IN LISTS sources scripts)
  file(STRINGS ${ROOT}/${source} head LIMIT_COUNT 2)
  if(NOT head MATCHES "SPDX-License-Identifier: MIT")
    list(APPEND missing ${source})
  endif()
endforeach()
if(missing)
  message(FATAL_ERROR "no SPDX-License-Identifier line: ${missing}")
endif()
