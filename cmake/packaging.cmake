# SPDX-License-Identifier: MIT
# Installing and packaging get_pin: the man page get_pin(1), gzipped as Debian
# wants it, and a Debian package made with `cpack` in the build tree, e.g.
#   cmake --workflow --preset armhf && (cd build/armhf && cpack)
# gives build/armhf/get-pin_<version>_armhf.deb.

find_program(GZIP_PROGRAM gzip REQUIRED)
# The page as installed names on its title line the version built, which
# --version prints: the target get_pin_version writes it on every build from
# docs/get_pin.1, which names the release it follows (cmake/version.cmake).
set(versioned_man_page ${PROJECT_BINARY_DIR}/man/versioned/get_pin.1)
set(man_page ${PROJECT_BINARY_DIR}/man/get_pin.1)
add_custom_command(
  OUTPUT ${man_page}.gz
  COMMAND ${CMAKE_COMMAND} -E copy ${versioned_man_page} ${man_page}
  # -n keeps the name and time stamp out, so the package is reproducible.
  COMMAND ${GZIP_PROGRAM} -9 -n -f ${man_page}
  DEPENDS ${versioned_man_page}
  COMMENT "Compressing the man page get_pin(1)"
  VERBATIM)
add_custom_target(man_page ALL DEPENDS ${man_page}.gz)
add_dependencies(man_page get_pin_version)
install(FILES ${man_page}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

# The licence and the changelog, where Debian keeps them: the copyright file in
# Debian's machine-readable format, made from LICENSE so the two never differ.
set(doc_dir ${CMAKE_INSTALL_DATADIR}/doc/get-pin)
file(READ ${PROJECT_SOURCE_DIR}/LICENSE licence)
string(REGEX MATCH "Copyright \\(c\\) ([^\n]*)" copyright_line "${licence}")
set(copyright_holder "${CMAKE_MATCH_1}")
string(REGEX REPLACE "^.*\n\n(Permission is hereby)" "\\1" licence_terms "${licence}")
string(STRIP "${licence_terms}" licence_terms)
# Continuation lines start with a blank; an empty line is written " .".
string(REPLACE "\n\n" "\n.\n" licence_terms "${licence_terms}")
string(REPLACE "\n" "\n " licence_terms "${licence_terms}")
file(CONFIGURE OUTPUT ${PROJECT_BINARY_DIR}/doc/copyright CONTENT
"Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/
Upstream-Name: get_pin

Files: *
Copyright: ${copyright_holder}
License: MIT
 ${licence_terms}
")
add_custom_command(
  OUTPUT ${PROJECT_BINARY_DIR}/doc/changelog.gz
  COMMAND ${CMAKE_COMMAND} -E copy ${PROJECT_SOURCE_DIR}/docs/changelog ${PROJECT_BINARY_DIR}/doc/
  COMMAND ${GZIP_PROGRAM} -9 -n -f ${PROJECT_BINARY_DIR}/doc/changelog
  DEPENDS ${PROJECT_SOURCE_DIR}/docs/changelog
  COMMENT "Compressing the changelog"
  VERBATIM)
add_custom_target(changelog ALL DEPENDS ${PROJECT_BINARY_DIR}/doc/changelog.gz)
install(FILES ${PROJECT_BINARY_DIR}/doc/copyright ${PROJECT_BINARY_DIR}/doc/changelog.gz
        DESTINATION ${doc_dir})

# A static program (every cross build, see src/CMakeLists.txt) needs no library
# package. lintian calls a static program an error unless told why.
if(GET_PIN_STATIC)
  install(FILES ${PROJECT_SOURCE_DIR}/docs/lintian-overrides
          DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides RENAME get-pin)
endif()

# Debian package names may not contain "_".
set(CPACK_PACKAGE_NAME get-pin)
# The version of the sources built (cmake/version.cmake): a later commit's
# package is newer to apt, and its name says which commit it is. cpack takes
# it from the last build (reproducible_package.cmake); this is the version
# the folder was configured with.
set(CPACK_PACKAGE_VERSION ${GET_PIN_CONFIGURED_VERSION})
set(CPACK_PACKAGE_VENDOR "get_pin developers")
set(CPACK_GENERATOR DEB)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(GET_PIN_PACKAGE_MAINTAINER
    "get_pin maintainers <maintainers@users.noreply.c-seed-1fb8ecd3.example>"
    CACHE STRING "Maintainer field of the Debian package")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${GET_PIN_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "report the levels of GPIO header pins on request")
# A package that anyone can rebuild bit for bit from the same commit: the man
# page and changelog are gzipped without name or time (above), and cpack reads
# reproducible_package.cmake each time it packs, for one time on every file
# and member (SOURCE_DATE_EPOCH, from the last commit unless the environment
# sets it) and a umask of 022.
set(CPACK_PROJECT_CONFIG_FILE ${PROJECT_SOURCE_DIR}/cmake/reproducible_package.cmake)
set(CPACK_GET_PIN_SOURCE_DIR ${PROJECT_SOURCE_DIR})
set(CPACK_GET_PIN_BINARY_DIR ${PROJECT_BINARY_DIR})
set(CPACK_GET_PIN_PROJECT_VERSION ${PROJECT_VERSION})
set(CPACK_GET_PIN_NAMED_VERSION "${GET_PIN_VERSION}")
# A build for the simulated board, or for the tests' stand-in wiringPi library
# over it, reads no real pin: cpack refuses to package it
# (reproducible_package.cmake), so that no such package passes for a real one.
set(CPACK_GET_PIN_SIMULATED OFF)
if(GET_PIN_GPIO STREQUAL "sim" OR GET_PIN_WIRINGPI_STANDIN)
  set(CPACK_GET_PIN_SIMULATED ON)
endif()
# What the program reads the pins through, as --version names it.
if(GET_PIN_GPIO STREQUAL "wiringpi")
  set(reads_through "It reads the pins through the installed wiringPi library.")
elseif(GET_PIN_GPIO_CHIP)
  set(reads_through "It reads the pins through the kernel's GPIO character device
${GET_PIN_GPIO_CHIP}.")
else()
  set(reads_through "It reads the pins through the kernel's GPIO character device,
finding the header's chip by its label.")
endif()
# Lines of at most 80 characters, as Debian wants them.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "get_pin is driven by a controlling process over standard input and output:
each get command is answered with one line holding the levels of header pins
3, 7, 27, 32, 36 and 18 of the 40-pin header, where pin 18 is sampled every
5 ms and reported high while any of its last eight samples was high.
${reads_through}")

# A cross build is packaged for its target, by Debian's name for it; its
# program is static, so the package depends on nothing. A native build asks
# dpkg-shlibdeps. A dynamic cross build makes no package: dpkg-shlibdeps cannot
# read another architecture's program, and a package without its Depends would
# install where the program cannot start.
if(CMAKE_CROSSCOMPILING)
  if(NOT GET_PIN_STATIC)
    message(STATUS "No Debian package: a cross-built get_pin ships static (GET_PIN_STATIC)")
    return()
  endif()
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${GET_PIN_ARCH})
else()
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
endif()

include(CPack)
