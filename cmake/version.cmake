# SPDX-License-Identifier: MIT
# The version that get_pin's --version and its Debian package carry, read from
# the commit checked out, never from the clock:
#   - at a release, the commit tagged v<project version> (v1.0.0): that version;
#   - at any other commit, a snapshot after that release in Debian's convention:
#     <project version>+git<date>.<count>.<hash>, e.g. 1.0.0+git20261209.112.718babe.
#     <date> is the day (UTC) of the newest commit time in the history, <count>
#     the number of commits in it, <hash> the commit's first seven hex digits.
#     A later commit has more commits in its history and no older newest time,
#     so its version compares greater (dpkg --compare-versions), on the same day
#     too, and on a commit whose own time is older than its parent's;
#   - in sources without .git (an export): docs/changelog's newest version.
# A checkout that git cannot read (no git, an owner git does not trust) or a
# shallow clone, which cannot count its commits, stops the configuration rather
# than give a version that does not grow.
#
# In a build (include() after project()) it sets GET_PIN_VERSION, and makes
# CMake configure again when HEAD moves, so a reused build folder never keeps
# the version of an earlier commit. As a script it prints the version:
#   cmake -D GET_PIN_SOURCE_DIR=SOURCE_DIR -P cmake/version.cmake
# With GET_PIN_VERSION_FUNCTION_ONLY set, it only defines get_pin_version()
# (for cpack, reproducible_package.cmake).

# The same rules as a build's where this runs as a script or in cpack.
cmake_policy(VERSION 3.25)

# get_pin_version(SOURCE_DIR PROJECT_VERSION OUT_VERSION OUT_WATCHED): the
# version, and the files whose change may change it.
function(get_pin_version source_dir project_version out_version out_watched)
  if(NOT EXISTS "${source_dir}/.git")
    file(STRINGS "${source_dir}/docs/changelog" newest REGEX "^get-pin \\(" LIMIT_COUNT 1)
    if(NOT newest MATCHES "^get-pin \\(([^)]+)\\)")
      message(FATAL_ERROR "No version: ${source_dir} is no git checkout, and the first line "
        "of docs/changelog names none ('get-pin (VERSION) ...').")
    endif()
    set(${out_version} "${CMAKE_MATCH_1}" PARENT_SCOPE)
    set(${out_watched} "${source_dir}/docs/changelog" PARENT_SCOPE)
    return()
  endif()

  # git_output(VARIABLE ARGUMENT...): git's output, or a stop that says why.
  macro(git_output variable)
    execute_process(
      COMMAND git ${ARGN}
      WORKING_DIRECTORY "${source_dir}"
      RESULT_VARIABLE status
      OUTPUT_VARIABLE ${variable}
      ERROR_VARIABLE error
      OUTPUT_STRIP_TRAILING_WHITESPACE)
    if(NOT status EQUAL 0)
      message(FATAL_ERROR "The version comes from the commit checked out in ${source_dir}, "
        "which `git ${ARGN}` could not read (${status}): ${error}Install git, or follow "
        "git's message, or build from sources without .git (git archive), which take "
        "docs/changelog's version.")
    endif()
  endmacro()

  git_output(shallow rev-parse --is-shallow-repository)
  if(shallow STREQUAL "true")
    message(FATAL_ERROR "${source_dir} is a shallow clone: it cannot count its commits, so "
      "its version would not grow with them. Run `git fetch --unshallow` there, or clone "
      "without --depth.")
  endif()
  git_output(release tag --points-at HEAD --list "v${project_version}")
  git_output(commit rev-parse --verify HEAD)
  if(NOT release STREQUAL "")
    set(version "${project_version}")
  else()
    git_output(count rev-list --count HEAD)
    # The newest commit time in the history, in seconds since 1970.
    git_output(times log --format=%ct HEAD)
    string(REPLACE "\n" ";" times "${times}")
    set(newest 0)
    foreach(time IN LISTS times)
      if(time GREATER newest)
        set(newest ${time})
      endif()
    endforeach()
    execute_process(
      COMMAND date -u -d "@${newest}" +%Y%m%d
      RESULT_VARIABLE status
      OUTPUT_VARIABLE day
      OUTPUT_STRIP_TRAILING_WHITESPACE)
    if(NOT status EQUAL 0 OR NOT day MATCHES "^[0-9]+$")
      message(FATAL_ERROR "`date` could not name the day of commit time ${newest}")
    endif()
    string(SUBSTRING "${commit}" 0 7 hash)
    set(version "${project_version}+git${day}.${count}.${hash}")
  endif()

  # HEAD, its log (written on every commit, checkout and reset, also where the
  # branch lies in packed-refs) and the branch's file; tags and packed
  # branches in packed-refs. In a worktree, HEAD and its log are its own.
  git_output(git_dir rev-parse --absolute-git-dir)
  git_output(common_dir rev-parse --git-common-dir)
  get_filename_component(common_dir "${common_dir}" ABSOLUTE BASE_DIR "${source_dir}")
  execute_process(
    COMMAND git symbolic-ref -q HEAD
    WORKING_DIRECTORY "${source_dir}"
    OUTPUT_VARIABLE branch
    OUTPUT_STRIP_TRAILING_WHITESPACE)
  set(watched "")
  foreach(file "${git_dir}/HEAD" "${git_dir}/logs/HEAD" "${common_dir}/packed-refs"
               "${common_dir}/${branch}")
    if(NOT IS_DIRECTORY "${file}" AND EXISTS "${file}")
      list(APPEND watched "${file}")
    endif()
  endforeach()
  set(${out_version} "${version}" PARENT_SCOPE)
  set(${out_watched} "${watched}" PARENT_SCOPE)
endfunction()

if(GET_PIN_VERSION_FUNCTION_ONLY)
  return()
elseif(CMAKE_SCRIPT_MODE_FILE)
  # The project's version from the top CMakeLists.txt's project() call.
  file(READ "${GET_PIN_SOURCE_DIR}/CMakeLists.txt" top)
  if(NOT top MATCHES "project\\(get_pin VERSION ([0-9.]+)")
    message(FATAL_ERROR "No project(get_pin VERSION ...) in ${GET_PIN_SOURCE_DIR}/CMakeLists.txt")
  endif()
  get_pin_version("${GET_PIN_SOURCE_DIR}" "${CMAKE_MATCH_1}" version watched)
  execute_process(COMMAND ${CMAKE_COMMAND} -E echo "${version}")
else()
  get_pin_version("${PROJECT_SOURCE_DIR}" "${PROJECT_VERSION}" GET_PIN_VERSION watched)
  set_property(DIRECTORY "${PROJECT_SOURCE_DIR}" APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${watched})
  message(STATUS "get_pin version ${GET_PIN_VERSION}")
endif()
