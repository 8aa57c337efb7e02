# Proves that check_include_arrows.cmake fails on a crossing and names it:
#   cmake -DWORK=<scratch folder> -P check_include_arrows_test.cmake
# Each case is a small tree of one file with one include, checked alone; a
# crossing must fail and name file and line, an allowed include must pass.
# Last, a copy of the real tree with one forbidden include added must fail
# where the untouched copy passes.
cmake_minimum_required(VERSION 3.20)

if(NOT WORK)
  message(FATAL_ERROR "WORK (a scratch folder) is not set")
endif()
get_filename_component(_root "${CMAKE_CURRENT_LIST_DIR}/.." ABSOLUTE)
set(_checker "${CMAKE_CURRENT_LIST_DIR}/check_include_arrows.cmake")

set(_failures 0)

# Runs the checker on tree; expect is "pass" or the "file:line" the failure
# must name.
function(_expect tree expect what)
  execute_process(COMMAND ${CMAKE_COMMAND} -DZEMB_ROOT=${tree} -P ${_checker}
                  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  set(said "${out}${err}")
  if(expect STREQUAL "pass")
    if(NOT rc EQUAL 0)
      message("FAIL ${what}: refused an allowed include\n${said}")
      math(EXPR _failures "${_failures} + 1")
    endif()
  else()
    string(FIND "${said}" "${expect}: includes" named)
    if(rc EQUAL 0 OR named EQUAL -1)
      message("FAIL ${what}: expected a failure naming ${expect}\n${said}")
      math(EXPR _failures "${_failures} + 1")
    endif()
  endif()
  set(_failures ${_failures} PARENT_SCOPE)
endfunction()

# file | include | expected ("pass" or "cross")
set(_cases
    "common/rom/rom_config.cpp|common/device/discovery.h|cross"
    "common/rom/rom_config.cpp|common/base/console.h|pass"
    "common/rom/rom_config.cpp|common/host/regular_file.h|pass"
    "common/device/own_driver/channel.cpp|romprogram/romprogram.h|cross"
    "common/device/own_driver/channel.cpp|common/rom/rom_parameter.h|pass"
    "common/device/cdrom/table.cpp|common/device/discovery.h|pass"
    "common/device/discovery.cpp|sim/sim_device.h|cross"
    "common/device/discovery.cpp|common/host/win32/win32_pause.h|cross"
    "common/device/discovery.cpp|common/host/linux/linux_layout.h|cross"
    "common/device/discovery.cpp|tests/test_support.h|cross"
    "common/device/discovery.cpp|common/host/host.h|pass"
    "common/base/console.cpp|common/host/host.h|pass"
    "common/base/console.cpp|common/host/regular_file.h|cross"
    "common/base/console.cpp|common/rom/rom_layout.h|cross"
    "common/base/numbers.cpp|numbers.h|pass"
    "common/host/regular_file.cpp|common/base/console.h|cross"
    "common/host/linux/linux_host.cpp|common/host/win32/scsi_layout.h|pass"
    "common/host/linux/linux_host.cpp|common/host/win32/win32_pause.h|cross"
    "common/host/linux/linux_host.cpp|common/device/requests.h|cross"
    "common/host/win32/win32_host.cpp|win32_pause.h|pass"
    "common/host/win32/win32_host.cpp|common/base/bytes.h|pass"
    "sim/sim_device.cpp|common/device/requests.h|cross"
    "sim/sim_device.cpp|common/rom/rom_layout.h|cross"
    "sim/sim_host.cpp|common/host/posix_lock.h|pass"
    "sim/sim_host.cpp|common/base/bytes.h|pass"
    "ioaccess/ioaccess.cpp|sim/sim_host.h|cross"
    "ioaccess/ioaccess.cpp|common/host/win32/scsi_layout.h|cross"
    "ioaccess/ioaccess.cpp|romprogram/romprogram.h|cross"
    "ioaccess/ioaccess.cpp|common/device/cdrom/table.h|pass"
    "zemb/zemb.cpp|zemb/ledger.h|pass"
    "bench/bench_main.cpp|sim/sim_host.h|pass")

set(_n 0)
foreach(case IN LISTS _cases)
  string(REPLACE "|" ";" parts "${case}")
  list(GET parts 0 file)
  list(GET parts 1 include)
  list(GET parts 2 expected)
  math(EXPR _n "${_n} + 1")
  set(tree "${WORK}/case${_n}")
  file(REMOVE_RECURSE "${tree}")
  file(WRITE "${tree}/${file}" "// case ${_n}\n\n#include <cstdint>\n#include \"${include}\"\n")
  if(expected STREQUAL "pass")
    _expect("${tree}" pass "${file} including ${include}")
  else()
    _expect("${tree}" "${file}:4" "${file} including ${include}")
  endif()
endforeach()

# The real tree, copied, then one include added to a real header.
set(tree "${WORK}/copy")
file(REMOVE_RECURSE "${tree}")
foreach(dir common sim romprogram rommisc ioaccess zemb bench)
  if(EXISTS "${_root}/${dir}")
    file(COPY "${_root}/${dir}" DESTINATION "${tree}")
  endif()
endforeach()
_expect("${tree}" pass "the untouched copy of the tree")
file(GLOB_RECURSE rom_headers RELATIVE "${tree}" "${tree}/common/rom/*.h")
list(SORT rom_headers)
list(GET rom_headers 0 victim)
file(READ "${tree}/${victim}" text)
string(REGEX MATCHALL "\n" newlines "${text}")
list(LENGTH newlines line_count)
math(EXPR added_line "${line_count} + 1")
file(APPEND "${tree}/${victim}" "#include \"common/device/discovery.h\"\n")
_expect("${tree}" "${victim}:${added_line}" "${victim} with common/device/discovery.h added")

if(_failures GREATER 0)
  message(FATAL_ERROR "${_failures} case(s) of the include-arrow check went wrong")
endif()
message(STATUS "The include-arrow check held in all ${_n} cases and on the copied tree")
