# SPDX-License-Identifier: MIT
# Every source file begins with its licence: cmake -DROOT=DIR -P check_spdx.cmake
file(GLOB_RECURSE sources RELATIVE ${ROOT}
     ${ROOT}/src/* ${ROOT}/tests/*.cpp ${ROOT}/tests/*.hpp ${ROOT}/fuzz/*.cpp ${ROOT}/fuzz/*.hpp
     ${ROOT}/tools/* ${ROOT}/cmake/* ${ROOT}/completion/* ${ROOT}/packaging/check
     ${ROOT}/packaging/debian-changelog ${ROOT}/.ci/run ${ROOT}/bench/run ${ROOT}/fuzz/run
     ${ROOT}/tests/wine/run ${ROOT}/CMakeLists.txt ${ROOT}/tests/CMakeLists.txt ${ROOT}/fuzz/CMakeLists.txt
     ${ROOT}/man/psrate.1)
set(missing "")
foreach(source IN LISTS sources)
  file(STRINGS ${ROOT}/${source} head LIMIT_COUNT 2)
  if(NOT head MATCHES "SPDX-License-Identifier: MIT")
    list(APPEND missing ${source})
  endif()
endforeach()
if(missing)
  message(FATAL_ERROR "no SPDX-License-Identifier line: ${missing}")
endif()
