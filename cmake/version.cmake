# SPDX-License-Identifier: MIT
# The version that get_pin's --version, its man page and its Debian package
# carry, read from the sources as they are, never from the clock. With P the
# version that project() names in CMakeLists.txt, in Debian's order (dpkg
# --compare-versions), from lowest to highest over a release's life:
#   - before the release: P~git<date>.<count>.<hash>, a snapshot below P, where
#     no release tag is reachable from HEAD or project() names a version above
#     the newest one reachable (work towards the next release);
#   - at the commit tagged vP: P;
#   - after the newest reachable release tag vX, while project() names no
#     version above X: X+git<date>.<count>.<hash>, a snapshot above X.
# <date> is the day (UTC) of the newest commit time in the history, <count> the
# number of commits in it, <hash> the commit's first seven hex digits. A later
# commit has more commits in its history and no older newest time, so its
# version compares greater, on the same day too, and on a commit whose own time
# is older than its parent's. Uncommitted changes to tracked files mark the
# version: P+dirty at a release, <snapshot>.dirty otherwise; each compares
# above its commit and below the next commit.
#
# Where the sources cannot give a version that grows with the commits (a
# shallow clone, a checkout that git does not trust, no git, an export of a
# commit that is no release), the version says it is not known
# (P~unknown[.<hash>]): the program builds and its tests pass, but cpack
# refuses to package it, saying why and what to do. -DGET_PIN_VERSION=VERSION
# names the version outright, for every step, packaging included.
#
# Sources without .git (git archive): cmake/exported_commit, filled in by git's
# export-subst, names the commit and its nearest release tag; an export of the
# commit tagged vP is P. Where it was not filled in (a copy made otherwise),
# docs/changelog's newest version.
#
# In a build (include() after project()) it adds the target get_pin_version,
# which every build runs: it works the version out again and rewrites what
# carries it (get_pin_version.txt, src/version.h, the man page) when it
# changes, so a new commit, a tag made or deleted, or a change to a file is in
# the next `cmake --build` without configuring again. As a script:
#   cmake -D GET_PIN_SOURCE_DIR=SOURCE_DIR -P cmake/version.cmake
# prints the version; with GET_PIN_BINARY_DIR too, it rewrites that build's
# files (the get_pin_version target). With GET_PIN_VERSION_FUNCTION_ONLY set,
# it only defines the functions (for cpack, reproducible_package.cmake).

# The same rules as a build's where this runs as a script or in cpack.
cmake_policy(VERSION 3.25)

# get_pin_exported_commit(SOURCE_DIR OUT_COMMIT OUT_TIME OUT_DESCRIBED): in
# sources exported by git archive, the commit's hash, time and `git describe`
# against the release tags (empty where none is reachable); all empty where
# the file was not filled in.
function(get_pin_exported_commit source_dir out_commit out_time out_described)
  set(commit "")
  set(time "")
  set(described "")
  if(EXISTS "${source_dir}/cmake/exported_commit")
    file(STRINGS "${source_dir}/cmake/exported_commit" line REGEX "^[0-9a-f]+ [0-9]+" LIMIT_COUNT 1)
    if(line MATCHES "^([0-9a-f]+) ([0-9]+) ?(.*)$")
      set(commit "${CMAKE_MATCH_1}")
      set(time "${CMAKE_MATCH_2}")
      set(described "${CMAKE_MATCH_3}")
    endif()
  endif()
  set(${out_commit} "${commit}" PARENT_SCOPE)
  set(${out_time} "${time}" PARENT_SCOPE)
  set(${out_described} "${described}" PARENT_SCOPE)
endfunction()

# get_pin_check_release_tag(TAG PROJECT_VERSION): stops where TAG, the
# commit's own tag or a `git describe`, is a release tag of another version.
function(get_pin_check_release_tag tag project_version)
  if(tag MATCHES "^v[0-9]+(\\.[0-9]+)*$" AND NOT tag STREQUAL "v${project_version}")
    message(FATAL_ERROR "The commit is tagged ${tag}, but project() in CMakeLists.txt names "
      "version ${project_version}: make them agree, or tag another commit.")
  endif()
endfunction()

# get_pin_version(SOURCE_DIR PROJECT_VERSION NAMED OUT_VERSION OUT_UNKNOWN):
# the version, NAMED if it is not empty (GET_PIN_VERSION). OUT_UNKNOWN is empty
# where the version is known, and otherwise says why it is not and what to do.
function(get_pin_version source_dir project_version named out_version out_unknown)
  set(${out_unknown} "" PARENT_SCOPE)
  # A version for dpkg that is also safe in a C++ string and a file name.
  if(NOT named STREQUAL "")
    if(NOT named MATCHES "^[0-9][A-Za-z0-9.+~]*$")
      message(FATAL_ERROR "GET_PIN_VERSION is '${named}', which is no version of a Debian "
        "package: a digit, then digits, letters and '.', '+' or '~' (1.0.0, 1.0.0+local1).")
    endif()
    set(${out_version} "${named}" PARENT_SCOPE)
    return()
  endif()

  # unknown(HASH WHY...): a version that says it is not known, and why.
  macro(unknown hash)
    string(CONCAT why ${ARGN})
    set(${out_version} "${project_version}~unknown${hash}${dirty}" PARENT_SCOPE)
    set(${out_unknown} "${why}" PARENT_SCOPE)
    return()
  endmacro()
  set(dirty "")

  if(NOT EXISTS "${source_dir}/.git")
    get_pin_exported_commit("${source_dir}" commit time described)
    get_pin_check_release_tag("${described}" "${project_version}")
    if(described STREQUAL "v${project_version}")
      set(${out_version} "${project_version}" PARENT_SCOPE)
    elseif(NOT commit STREQUAL "")
      string(SUBSTRING "${commit}" 0 7 hash)
      unknown(".${hash}" "the sources in ${source_dir} are an export of commit ${hash}, which "
        "is no release, and an export cannot count the commits before it: build from a clone "
        "of the repository")
    else()
      file(STRINGS "${source_dir}/docs/changelog" newest REGEX "^get-pin \\(" LIMIT_COUNT 1)
      if(NOT newest MATCHES "^get-pin \\(([^)]+)\\)")
        message(FATAL_ERROR "No version: ${source_dir} is no git checkout, and the first line "
          "of docs/changelog names none ('get-pin (VERSION) ...').")
      endif()
      set(${out_version} "${CMAKE_MATCH_1}" PARENT_SCOPE)
    endif()
    return()
  endif()

  find_program(GET_PIN_GIT git)
  if(NOT GET_PIN_GIT)
    unknown("" "git, which counts the commits of the checkout in ${source_dir}, is not "
      "installed: install it (sudo apt-get install git)")
  endif()
  # git_output(VARIABLE ARGUMENT...): git's output, or a version not known.
  macro(git_output variable)
    execute_process(
      COMMAND "${GET_PIN_GIT}" ${ARGN}
      WORKING_DIRECTORY "${source_dir}"
      RESULT_VARIABLE status
      OUTPUT_VARIABLE ${variable}
      ERROR_VARIABLE error
      OUTPUT_STRIP_TRAILING_WHITESPACE)
    if(NOT status EQUAL 0)
      if(error MATCHES "dubious ownership")
        set(fix "git config --global --add safe.directory ${source_dir}")
        if(error MATCHES "(git config --global --add safe.directory [^\n]+)")
          set(fix "${CMAKE_MATCH_1}")
        endif()
        unknown("" "git does not trust the checkout in ${source_dir}, which another user owns "
          "(\"dubious ownership\"): as the user who builds, run `${fix}`, or build as its owner")
      endif()
      string(REGEX REPLACE "\n.*" "" error "${error}")
      string(JOIN " " command ${ARGN})
      unknown("" "`git ${command}` could not read the checkout in ${source_dir} (${error}): "
        "follow git's message")
    endif()
  endmacro()

  git_output(commit rev-parse --verify HEAD)
  string(SUBSTRING "${commit}" 0 7 hash)
  # Tracked files only: a build folder or notes beside the sources change no
  # shipped byte. Without optional locks, git leaves the index as it is.
  git_output(changes --no-optional-locks status --porcelain --untracked-files=no)
  if(NOT changes STREQUAL "")
    set(dirty ".dirty")
  endif()
  # A release tag on HEAD names project()'s version: a v1.0.1 where project()
  # names 1.0.0 would give a snapshot that sorts after its own release.
  git_output(release tag --points-at HEAD --list "v[0-9]*")
  string(REPLACE "\n" ";" release "${release}")
  foreach(tag IN LISTS release)
    get_pin_check_release_tag("${tag}" "${project_version}")
  endforeach()
  if("v${project_version}" IN_LIST release)
    if(dirty)
      set(dirty "+dirty")
    endif()
    set(${out_version} "${project_version}${dirty}" PARENT_SCOPE)
    return()
  endif()
  git_output(shallow rev-parse --is-shallow-repository)
  if(shallow STREQUAL "true")
    unknown(".${hash}" "${source_dir} is a shallow clone, which cannot count its commits: run "
      "`git fetch --unshallow` there")
  endif()

  # The newest release tag reachable from HEAD: the highest version, which
  # on a history with merged maintenance branches need not be the nearest.
  git_output(tags tag --merged HEAD --list "v[0-9]*")
  string(REPLACE "\n" ";" tags "${tags}")
  set(newest "")
  foreach(tag IN LISTS tags)
    if(tag MATCHES "^v([0-9]+(\\.[0-9]+)*)$" AND (newest STREQUAL "" OR CMAKE_MATCH_1 VERSION_GREATER newest))
      set(newest "${CMAKE_MATCH_1}")
    endif()
  endforeach()
  if(NOT newest STREQUAL "" AND NOT project_version VERSION_GREATER newest)
    set(base "${newest}+git")
  else()
    set(base "${project_version}~git")
  endif()

  git_output(count rev-list --count HEAD)
  # The newest commit time in the history, in seconds since 1970, and its day.
  git_output(times log --format=%ct HEAD)
  string(REPLACE "\n" ";" times "${times}")
  set(newest_time 0)
  foreach(time IN LISTS times)
    if(time GREATER newest_time)
      set(newest_time ${time})
    endif()
  endforeach()
  execute_process(
    COMMAND date -u -d "@${newest_time}" +%Y%m%d
    RESULT_VARIABLE status
    OUTPUT_VARIABLE day
    OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(NOT status EQUAL 0 OR NOT day MATCHES "^[0-9]+$")
    message(FATAL_ERROR "`date` could not name the day of commit time ${newest_time}")
  endif()
  set(${out_version} "${base}${day}.${count}.${hash}${dirty}" PARENT_SCOPE)
endfunction()

# get_pin_write_if_changed(FILE CONTENT): written only when it changes, so that
# what is built from it is not built again.
function(get_pin_write_if_changed file content)
  set(written "")
  if(EXISTS "${file}")
    file(READ "${file}" written)
  endif()
  if(NOT written STREQUAL content)
    file(WRITE "${file}" "${content}")
  endif()
endfunction()

# get_pin_write_version(SOURCE_DIR BINARY_DIR VERSION): what carries the
# version in a build: the version alone (for cpack and the package check),
# the header that --version prints, and the man page, whose title line names
# the version built where docs/get_pin.1 names the release it follows.
function(get_pin_write_version source_dir binary_dir version)
  get_pin_write_if_changed("${binary_dir}/get_pin_version.txt" "${version}\n")
  get_pin_write_if_changed("${binary_dir}/src/version.h"
"// Generated by cmake/version.cmake from the sources built: what --version prints.
#pragma once
#include <string_view>
namespace arguments
{
inline constexpr std::string_view version_line = \"get_pin ${version}\\n\";
} // namespace arguments
")
  set(title "(\n\\.TH GET_PIN 1 \"[^\"]*\" \")get_pin [^\"]*\"")
  file(READ "${source_dir}/docs/get_pin.1" man_text)
  if(NOT man_text MATCHES "${title}")
    message(FATAL_ERROR "docs/get_pin.1 has no title line '.TH GET_PIN 1 \"DATE\" \"get_pin VERSION\" ...'")
  endif()
  string(REGEX REPLACE "${title}" "\\1get_pin ${version}\"" man_text "${man_text}")
  get_pin_write_if_changed("${binary_dir}/man/versioned/get_pin.1" "${man_text}")
endfunction()

if(GET_PIN_VERSION_FUNCTION_ONLY)
  return()
elseif(CMAKE_SCRIPT_MODE_FILE)
  if(NOT GET_PIN_PROJECT_VERSION)
    # The project's version from the top CMakeLists.txt's project() call.
    file(READ "${GET_PIN_SOURCE_DIR}/CMakeLists.txt" top)
    if(NOT top MATCHES "project\\(get_pin VERSION ([0-9.]+)")
      message(FATAL_ERROR "No project(get_pin VERSION ...) in ${GET_PIN_SOURCE_DIR}/CMakeLists.txt")
    endif()
    set(GET_PIN_PROJECT_VERSION "${CMAKE_MATCH_1}")
  endif()
  get_pin_version("${GET_PIN_SOURCE_DIR}" "${GET_PIN_PROJECT_VERSION}" "${GET_PIN_VERSION}"
                  version unknown)
  if(GET_PIN_BINARY_DIR)
    # The build already warned when it configured.
    get_pin_write_version("${GET_PIN_SOURCE_DIR}" "${GET_PIN_BINARY_DIR}" "${version}")
  else()
    if(unknown)
      message(WARNING "The version is not known: ${unknown}.")
    endif()
    execute_process(COMMAND ${CMAKE_COMMAND} -E echo "${version}")
  endif()
else()
  set(GET_PIN_VERSION "" CACHE STRING
      "The version to build and package (empty: the version of the sources, cmake/version.cmake)")
  get_pin_version("${PROJECT_SOURCE_DIR}" "${PROJECT_VERSION}" "${GET_PIN_VERSION}"
                  GET_PIN_CONFIGURED_VERSION unknown)
  message(STATUS "get_pin version ${GET_PIN_CONFIGURED_VERSION}")
  if(unknown)
    message(WARNING "get_pin's version is not known, so this build is "
      "${GET_PIN_CONFIGURED_VERSION}: ${unknown}; or name the version with "
      "-D GET_PIN_VERSION=VERSION. The program builds, runs and passes its tests; only "
      "packaging (cpack) refuses it.")
  endif()
  # Written now, for tools that read the sources before the first build
  # (clang-tidy), and again by every build.
  get_pin_write_version("${PROJECT_SOURCE_DIR}" "${PROJECT_BINARY_DIR}" "${GET_PIN_CONFIGURED_VERSION}")
  add_custom_target(get_pin_version ALL
    COMMAND ${CMAKE_COMMAND} -DGET_PIN_SOURCE_DIR=${PROJECT_SOURCE_DIR}
            -DGET_PIN_BINARY_DIR=${PROJECT_BINARY_DIR} -DGET_PIN_PROJECT_VERSION=${PROJECT_VERSION}
            -DGET_PIN_VERSION=${GET_PIN_VERSION} -P ${CMAKE_CURRENT_LIST_FILE}
    BYPRODUCTS ${PROJECT_BINARY_DIR}/get_pin_version.txt ${PROJECT_BINARY_DIR}/src/version.h
               ${PROJECT_BINARY_DIR}/man/versioned/get_pin.1
    COMMENT "Working out the version of the sources"
    VERBATIM)
endif()
