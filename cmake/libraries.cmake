# Libraries zemb takes from the system's packages: nlohmann/json and
# cpp-httplib and ODBC (unixODBC here, odbc32 on Windows).
#
# A cross build for Windows must see only the package's own headers, never
# the rest of the build machine's /usr/include: each header-only library is
# reached through a folder in the build tree that links to just that
# package's files.

function(_zemb_header_folder name source)
  set(dir "${CMAKE_BINARY_DIR}/system-headers/${name}")
  file(MAKE_DIRECTORY "${dir}")
  get_filename_component(leaf "${source}" NAME)
  if(NOT EXISTS "${dir}/${leaf}")
    file(CREATE_LINK "${source}" "${dir}/${leaf}" SYMBOLIC)
  endif()
  set(_zemb_header_dir "${dir}" PARENT_SCOPE)
endfunction()

set(ZEMB_JSON_INCLUDE "/usr/include/nlohmann" CACHE PATH "nlohmann/json's header folder (nlohmann-json3-dev)")
set(ZEMB_HTTPLIB_HEADER "/usr/include/httplib.h" CACHE FILEPATH "cpp-httplib's header (libcpp-httplib-dev)")

add_library(zemb_json INTERFACE)
if(EXISTS "${ZEMB_JSON_INCLUDE}/json.hpp")
  _zemb_header_folder(json "${ZEMB_JSON_INCLUDE}")
  target_include_directories(zemb_json SYSTEM INTERFACE "${_zemb_header_dir}")
else()
  message(FATAL_ERROR "nlohmann/json not found at ${ZEMB_JSON_INCLUDE} (apt-get install nlohmann-json3-dev)")
endif()

# Debian's libcpp-httplib-dev is cpp-httplib split in two: the header
# declares, libcpp-httplib.so implements. That library was built with
# OpenSSL, zlib and Brotli, and the header's classes change shape with those
# switches, so whatever includes it compiles with the same ones. Debian
# ships no such library for MinGW: a Windows build takes the single-file
# form from the same Debian source package instead
# (scripts/fetch-httplib-source.sh puts it where ZEMB_HTTPLIB_SINGLE_HEADER
# looks). A build with neither gets no ZEMB_HTTPLIB definition, and the
# station's page answers that it is not part of that build.
set(ZEMB_HTTPLIB_SINGLE_HEADER "${CMAKE_SOURCE_DIR}/build/debian-src/cpp-httplib/httplib.h"
    CACHE FILEPATH "cpp-httplib's single-file header, from Debian's source package, for Windows")
add_library(zemb_httplib INTERFACE)
if(NOT EXISTS "${ZEMB_HTTPLIB_HEADER}")
  message(FATAL_ERROR "cpp-httplib not found at ${ZEMB_HTTPLIB_HEADER} (apt-get install libcpp-httplib-dev)")
endif()
if(NOT CMAKE_CROSSCOMPILING AND NOT WIN32)
  find_library(ZEMB_HTTPLIB_LIBRARY cpp-httplib)
endif()
if(ZEMB_HTTPLIB_LIBRARY)
  _zemb_header_folder(httplib "${ZEMB_HTTPLIB_HEADER}")
  target_include_directories(zemb_httplib SYSTEM INTERFACE "${_zemb_header_dir}")
  find_package(Threads REQUIRED)
  target_link_libraries(zemb_httplib INTERFACE "${ZEMB_HTTPLIB_LIBRARY}" Threads::Threads)
  target_compile_definitions(zemb_httplib INTERFACE ZEMB_HTTPLIB=1 CPPHTTPLIB_OPENSSL_SUPPORT
                                                    CPPHTTPLIB_ZLIB_SUPPORT CPPHTTPLIB_BROTLI_SUPPORT)
elseif(WIN32 AND EXISTS "${ZEMB_HTTPLIB_SINGLE_HEADER}")
  _zemb_header_folder(httplib-single "${ZEMB_HTTPLIB_SINGLE_HEADER}")
  target_include_directories(zemb_httplib SYSTEM INTERFACE "${_zemb_header_dir}")
  target_link_libraries(zemb_httplib INTERFACE ws2_32 crypt32)
  target_compile_definitions(zemb_httplib INTERFACE ZEMB_HTTPLIB=1)
else()
  message(STATUS "No cpp-httplib for this target (for Windows: scripts/fetch-httplib-source.sh): "
                 "zemb is built without the station's page")
endif()

add_library(zemb_odbc INTERFACE)
if(WIN32)
  target_link_libraries(zemb_odbc INTERFACE odbc32)
else()
  find_package(ODBC REQUIRED)
  target_link_libraries(zemb_odbc INTERFACE ODBC::ODBC)
endif()
