# SPDX-License-Identifier: MIT
# Installing and packaging get_pin: the man page get_pin(1), gzipped as Debian
# wants it, and a Debian package made with `cpack` in the build tree, e.g.
#   cmake --workflow --preset armhf && (cd build/armhf && cpack)
# gives build/armhf/get-pin_<version>_armhf.deb.

find_program(GZIP_PROGRAM gzip REQUIRED)
set(man_page ${PROJECT_BINARY_DIR}/man/get_pin.1)
add_custom_command(
  OUTPUT ${man_page}.gz
  COMMAND ${CMAKE_COMMAND} -E copy ${PROJECT_SOURCE_DIR}/docs/get_pin.1 ${man_page}
  # -n keeps the name and time stamp out, so the package is reproducible.
  COMMAND ${GZIP_PROGRAM} -9 -n -f ${man_page}
  DEPENDS ${PROJECT_SOURCE_DIR}/docs/get_pin.1
  COMMENT "Compressing the man page get_pin(1)"
  VERBATIM)
add_custom_target(man_page ALL DEPENDS ${man_page}.gz)
install(FILES ${man_page}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

# Debian package names may not contain "_".
set(CPACK_PACKAGE_NAME get-pin)
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
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "get_pin is driven by a controlling process over standard input and output: \
each get command is answered with one line holding the levels of header pins \
3, 7, 27, 32, 36 and 18 of the 40-pin header, where pin 18 is sampled every \
5 ms and reported high while any of its last eight samples was high. It reads \
the pins through the kernel's GPIO character device, finding the header's chip \
by its label.")

# Debian's name for the target architecture. dpkg-shlibdeps cannot work out
# the dependencies of a cross-built program, so those are stated here; they
# follow from `readelf -V get_pin` and are checked by the package test.
if(CMAKE_CROSSCOMPILING)
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${GET_PIN_ARCH})
endif()
if(CMAKE_CROSSCOMPILING AND GET_PIN_STATIC_CXX_RUNTIME)
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6 (>= 2.34)")
elseif(CMAKE_CROSSCOMPILING)
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6 (>= 2.34), libgcc-s1 (>= 3.5), libstdc++6 (>= 5)")
else()
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
endif()

include(CPack)
