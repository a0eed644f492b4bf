# SPDX-License-Identifier: MIT
# Read by cpack (CPACK_PROJECT_CONFIG_FILE): the Depends of a cross-built
# get_pin, worked out from the program itself by one rule for every
# architecture, since dpkg-shlibdeps cannot look at another architecture's
# program. Each shared library the program loads names its package; the C
# library's lower bound is the newest GLIBC symbol version the program uses. A
# static program depends on nothing. The package test checks the result.
if(NOT CPACK_GET_PIN_CROSS_PROGRAM)
  return()
endif()
execute_process(COMMAND ${CPACK_GET_PIN_READELF} -dVW ${CPACK_GET_PIN_CROSS_PROGRAM}
                OUTPUT_VARIABLE elf COMMAND_ERROR_IS_FATAL ANY)

string(REGEX MATCHALL "GLIBC_[0-9.]+" glibc_versions "${elf}")
set(newest_glibc "")
foreach(version IN LISTS glibc_versions)
  string(REPLACE "GLIBC_" "" version "${version}")
  if(version VERSION_GREATER newest_glibc)
    set(newest_glibc "${version}")
  endif()
endforeach()

string(REGEX MATCHALL "\\(NEEDED\\)[^\n]*" needed_lines "${elf}")
set(libc6 "")
set(libgcc "")
set(libstdcxx "")
foreach(line IN LISTS needed_lines)
  string(REGEX REPLACE ".*\\[(.*)\\].*" "\\1" library "${line}")
  if(library MATCHES "^(libc\\.so\\.6|libm\\.so\\.6|ld-linux-.*\\.so\\.[0-9]+)$")
    set(libc6 "libc6 (>= ${newest_glibc})")
  elseif(library STREQUAL "libgcc_s.so.1")
    set(libgcc "libgcc-s1 (>= 3.5)")
  elseif(library STREQUAL "libstdc++.so.6")
    set(libstdcxx "libstdc++6 (>= 5)")
  else()
    message(FATAL_ERROR "get_pin needs ${library}: which Debian package holds it is not known here")
  endif()
endforeach()
set(CPACK_DEBIAN_PACKAGE_DEPENDS ${libc6} ${libgcc} ${libstdcxx})
list(JOIN CPACK_DEBIAN_PACKAGE_DEPENDS ", " CPACK_DEBIAN_PACKAGE_DEPENDS)
