# SPDX-License-Identifier: MIT
# Read by cpack each time it makes the package (CPACK_PROJECT_CONFIG_FILE, set
# in packaging.cmake), so that the same commit gives the same package bytes
# wherever and whenever it is packaged, with the version of the sources built,
# and that a build for the simulated board, or one whose version is not known,
# gives none.
#
# The time. cpack gives every file of the package, and the package's own
# members, the time in SOURCE_DATE_EPOCH when it is set, and otherwise the
# time of the build. It is set here unless the environment already sets it:
#   - in a git checkout, to the time of the commit checked out (%ct), read now
#     and not when configuring, so that a new commit is packaged with its own
#     time without configuring again;
#   - in an export that git archive filled in (cmake/exported_commit), to the
#     time of the commit exported, as a checkout of it would;
#   - in other sources without .git (a copy made otherwise), to the date of
#     docs/changelog's newest entry, the time Debian's own package builds use.
# A git checkout whose commit time cannot be read (no git, an owner git does
# not trust, with the version named) stops cpack rather than stamp the
# package with another time.
#
# The umask. cpack creates the package's members and its directories with the
# modes the umask leaves, so it must be 022: under 002 the bytes differ
# (rw-rw-r-- members), under 077 the package's directories would be 0700.

# A build that reads no real pin (the simulated board, or the tests' stand-in
# wiringPi library over it) is never packaged: installed on a board, such a
# package would answer every get with made-up levels.
if(CPACK_GET_PIN_SIMULATED)
  message(FATAL_ERROR
    "This build is for the simulated board, which reads no real pin: it makes no package. "
    "Packages come from the cross builds for the kernel's GPIO character device "
    "(cmake --workflow --preset arm64, armhf or armel, then cpack in build/arm64, ...), "
    "or from a build on the board (cmake --workflow --preset native, then cpack in "
    "build/native).")
endif()

# The version. The package carries the version of the last build, which its
# program prints; the sources must still be at that version, or the package
# would name another commit, tag or change than its program holds. Every
# build works the version out again, so `cmake --build` brings the two
# together. A version that is not known (a shallow clone, ...) is never packed.
set(GET_PIN_VERSION_FUNCTION_ONLY ON)
include("${CPACK_GET_PIN_SOURCE_DIR}/cmake/version.cmake")
set(binary_dir "${CPACK_GET_PIN_BINARY_DIR}")
get_pin_version("${CPACK_GET_PIN_SOURCE_DIR}" "${CPACK_GET_PIN_PROJECT_VERSION}"
                "${CPACK_GET_PIN_NAMED_VERSION}" version unknown)
if(unknown)
  message(FATAL_ERROR
    "This build's version is not known (${version}), so it makes no package: ${unknown}, then "
    "cmake --build ${binary_dir} and cpack again. Or name the version: "
    "cmake -D GET_PIN_VERSION=VERSION ${binary_dir} && cmake --build ${binary_dir}")
endif()
set(built "")
if(EXISTS "${binary_dir}/get_pin_version.txt")
  file(STRINGS "${binary_dir}/get_pin_version.txt" built LIMIT_COUNT 1)
endif()
if(NOT built STREQUAL version)
  message(FATAL_ERROR
    "This build holds version '${built}', but the sources are at version ${version} now (a "
    "commit, a tag or a change since the last build). Build again, then cpack: "
    "cmake --build ${binary_dir}")
endif()
set(CPACK_PACKAGE_VERSION "${version}")

execute_process(COMMAND sh -c umask OUTPUT_VARIABLE umask OUTPUT_STRIP_TRAILING_WHITESPACE)
if(NOT umask MATCHES "^0*22$")
  message(FATAL_ERROR
    "The umask is ${umask}; packages are made with umask 022, as cpack takes the modes of "
    "the package's members and directories from it. Run `umask 022`, then cpack again.")
endif()

if(NOT "$ENV{SOURCE_DATE_EPOCH}" STREQUAL "")
  return()
endif()
set(source_dir "${CPACK_GET_PIN_SOURCE_DIR}")
if(EXISTS "${source_dir}/.git")
  execute_process(
    COMMAND git log -1 --format=%ct
    WORKING_DIRECTORY "${source_dir}"
    RESULT_VARIABLE status
    OUTPUT_VARIABLE epoch
    ERROR_VARIABLE error
    OUTPUT_STRIP_TRAILING_WHITESPACE)
  set(origin "the last commit")
  set(tool git)
else()
  get_pin_exported_commit("${source_dir}" commit epoch described)
  if(NOT commit STREQUAL "")
    set(status 0)
    set(origin "the commit exported (cmake/exported_commit)")
  else()
    # The first trailer line: " -- Name <address>  Tue, 08 Dec 2026 12:00:00 +0000".
    file(STRINGS "${source_dir}/docs/changelog" trailer REGEX "^ -- .*>  " LIMIT_COUNT 1)
    string(REGEX REPLACE "^ -- .*>  " "" date "${trailer}")
    execute_process(
      COMMAND date -u -d "${date}" +%s
      RESULT_VARIABLE status
      OUTPUT_VARIABLE epoch
      ERROR_VARIABLE error
      OUTPUT_STRIP_TRAILING_WHITESPACE)
    set(origin "docs/changelog's newest entry (no git checkout)")
    set(tool date)
  endif()
endif()

if(NOT status EQUAL 0 OR NOT epoch MATCHES "^[0-9]+$")
  set(fix "make that time readable")
  if(error MATCHES "(git config --global --add safe.directory [^\n]+)")
    set(fix "run `${CMAKE_MATCH_1}`")
  endif()
  message(FATAL_ERROR
    "The package's time stamps come from ${origin} in ${source_dir}, which ${tool} could "
    "not read (${status}): ${error}Set SOURCE_DATE_EPOCH to the time to use, in seconds "
    "since 1970, or ${fix}, then cpack again.")
endif()
set(ENV{SOURCE_DATE_EPOCH} "${epoch}")
message(STATUS "SOURCE_DATE_EPOCH=${epoch}: the time of ${origin}")
