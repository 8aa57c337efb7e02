# Checks which layer may include which:
#   cmake -DZEMB_ROOT=<top of the tree> -P check_include_arrows.cmake
# Reads every #include "..." of common/, sim/, the tool folders and bench/
# and fails, naming file and line, when one crosses a forbidden arrow. The
# rules go by folder prefix, so a file moved to a subfolder of its layer
# (common/device/<face>/...) is held by its layer's rules.
#
# The arrows:
#   common/base    sees only itself and the host seam's interface (host.h);
#   common/rom     sees base, not the device layer;
#   common/device  sees base, rom and the host seam, not a tool;
#   nothing in common/ reaches sim/, a host implementation (common/host/win32,
#   common/host/linux), a tool, bench/, fuzz/ or the tests;
#   common/host    (the seam: host.h and the helpers every host shares) sees
#                  only itself;
#   a host implementation sees base, the seam and its own folder;
#   sim/           sees base and the host seam: it decodes the requests with
#                  its own code, never with the tools' encoders;
#   a tool         sees common/ and its own folder, not sim/, not a host
#                  implementation, not another tool.
cmake_minimum_required(VERSION 3.20)

if(NOT ZEMB_ROOT)
  get_filename_component(ZEMB_ROOT "${CMAKE_CURRENT_LIST_DIR}/.." ABSOLUTE)
endif()

set(_tools romprogram/ rommisc/ ioaccess/ zemb/)
set(_host_impls common/host/win32/ common/host/linux/)
set(_scanned common sim romprogram rommisc ioaccess zemb bench)
# The portable pass-through packet and its 64-bit translation: pure byte
# work without Windows headers, which the Linux host takes apart for SG_IO
# too. Every host implementation may read it.
set(_shared_host_files common/host/win32/scsi_layout.h)

# True when path starts with one of the prefixes.
function(_starts_with_any path out)
  set(${out} FALSE PARENT_SCOPE)
  foreach(prefix ${ARGN})
    string(FIND "${path}" "${prefix}" at)
    if(at EQUAL 0)
      set(${out} TRUE PARENT_SCOPE)
      return()
    endif()
  endforeach()
endfunction()

# Sets out to why file (relative to the root) may not include target, or to
# "" when it may.
function(_forbidden file target out)
  set(${out} "" PARENT_SCOPE)
  _starts_with_any("${file}" in_common common/)
  _starts_with_any("${file}" in_sim sim/)
  _starts_with_any("${file}" in_tool ${_tools})
  _starts_with_any("${target}" to_sim sim/)
  _starts_with_any("${target}" to_tool ${_tools})
  _starts_with_any("${target}" to_impl ${_host_impls})
  _starts_with_any("${target}" to_outer bench/ fuzz/ tests/)

  if(file MATCHES "^common/base/")
    if(NOT target MATCHES "^common/base/" AND NOT target STREQUAL "common/host/host.h")
      set(${out} "common/base sees only itself and common/host/host.h" PARENT_SCOPE)
    endif()
    return()
  endif()
  if(file MATCHES "^common/rom/" AND target MATCHES "^common/device/")
    set(${out} "common/rom may not reach the device layer" PARENT_SCOPE)
    return()
  endif()
  if(in_common)
    if(to_sim OR to_tool OR to_outer)
      set(${out} "nothing in common/ reaches sim/, a tool, bench/, fuzz/ or tests/" PARENT_SCOPE)
      return()
    endif()
    _starts_with_any("${file}" from_impl ${_host_impls})
    if(from_impl)
      # A host implementation sees base, the seam, its own folder and the
      # files the hosts share.
      string(REGEX MATCH "^common/host/[a-z0-9_]+/" own_impl "${file}")
      if(target IN_LIST _shared_host_files OR target MATCHES "^${own_impl}")
        return()
      endif()
      if(to_impl OR NOT target MATCHES "^common/(base|host)/")
        set(${out} "a host implementation sees only common/base, the host seam and its own folder"
            PARENT_SCOPE)
      endif()
      return()
    endif()
    if(file MATCHES "^common/host/" AND NOT target MATCHES "^common/host/")
      set(${out} "the host seam sees only itself" PARENT_SCOPE)
      return()
    endif()
    if(to_impl)
      set(${out} "nothing in common/ reaches a host implementation" PARENT_SCOPE)
    endif()
    return()
  endif()
  if(in_sim)
    if(NOT target MATCHES "^(sim|common/base|common/host)/" OR to_impl)
      set(${out} "sim/ sees only itself, common/base and the host seam" PARENT_SCOPE)
    endif()
    return()
  endif()
  if(in_tool)
    string(REGEX MATCH "^[a-z0-9_]+/" own_tool "${file}")
    if(to_sim OR to_impl OR to_outer)
      set(${out} "a tool sees common/ and its own folder only" PARENT_SCOPE)
    elseif(to_tool AND NOT target MATCHES "^${own_tool}")
      set(${out} "a tool does not reach another tool" PARENT_SCOPE)
    endif()
  endif()
endfunction()

set(_files "")
foreach(dir ${_scanned})
  file(GLOB_RECURSE found RELATIVE "${ZEMB_ROOT}" "${ZEMB_ROOT}/${dir}/*.h"
       "${ZEMB_ROOT}/${dir}/*.hpp" "${ZEMB_ROOT}/${dir}/*.c" "${ZEMB_ROOT}/${dir}/*.cpp")
  list(APPEND _files ${found})
endforeach()
list(SORT _files)

set(_crossings 0)
foreach(file ${_files})
  # The include lines alone first: most files cross nothing, and reading
  # them line by line is only needed to name the line of a crossing.
  file(STRINGS "${ZEMB_ROOT}/${file}" includes REGEX "^[ \t]*#[ \t]*include[ \t]*\"")
  if(NOT includes)
    continue()
  endif()
  get_filename_component(file_dir "${file}" DIRECTORY)
  set(bad_targets "")
  foreach(line ${includes})
    string(REGEX REPLACE "^[ \t]*#[ \t]*include[ \t]*\"([^\"]*)\".*" "\\1" target "${line}")
    # A bare name is its own folder's file; a path is from the top.
    if(NOT target MATCHES "/")
      set(target "${file_dir}/${target}")
    endif()
    _forbidden("${file}" "${target}" why)
    if(why)
      list(APPEND bad_targets "${target}")
    endif()
  endforeach()
  if(NOT bad_targets)
    continue()
  endif()

  # Brackets, semicolons and backslashes would bend CMake's list splitting;
  # none of them can stand in the include lines that matter here.
  file(READ "${ZEMB_ROOT}/${file}" content)
  string(REGEX REPLACE "[][;\\\\]" "_" content "${content}")
  string(REPLACE "\n" ";" lines "${content}")
  set(number 0)
  foreach(line IN LISTS lines)
    math(EXPR number "${number} + 1")
    if(NOT line MATCHES "^[ \t]*#[ \t]*include[ \t]*\"([^\"]*)\"")
      continue()
    endif()
    set(target "${CMAKE_MATCH_1}")
    if(NOT target MATCHES "/")
      set(target "${file_dir}/${target}")
    endif()
    _forbidden("${file}" "${target}" why)
    if(why)
      message("${file}:${number}: includes ${target}: ${why}")
      math(EXPR _crossings "${_crossings} + 1")
    endif()
  endforeach()
endforeach()

list(LENGTH _files _count)
if(_crossings GREATER 0)
  message(FATAL_ERROR "${_crossings} include(s) cross a forbidden arrow (${_count} files read)")
endif()
message(STATUS "No include crosses a forbidden arrow (${_count} files read)")
