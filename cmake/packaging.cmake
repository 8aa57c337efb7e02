# Release archives of the Windows product builds: `cmake --build --preset
# windows-x86 --target package` (or cpack -G ZIP in the build folder) makes
# ZembTools-<version>-windows-x86.zip with the three static programs and zemb, the
# sample ROM configuration files and the operator's guide, and pausecheck
# (installed by tests/wine). The text files get CR LF line ends there, for
# Notepad and for the tools' text-mode reads.
if(NOT (WIN32 AND ZEMB_HOST STREQUAL "win32"))
  return()
endif()

set(_zemb_texts OPERATOR-GUIDE.txt W25Q80_SPI.cfg 24LC512_I2C.cfg)
foreach(_zemb_text ${_zemb_texts})
  configure_file(${CMAKE_SOURCE_DIR}/packaging/${_zemb_text}
                 ${CMAKE_BINARY_DIR}/packaging/${_zemb_text} @ONLY NEWLINE_STYLE CRLF)
  install(FILES ${CMAKE_BINARY_DIR}/packaging/${_zemb_text} DESTINATION .)
endforeach()
install(TARGETS ZembRomProgram ZembRomMisc ZembIoAccess zemb RUNTIME DESTINATION .)

if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(CPACK_SYSTEM_NAME windows-x64)
else()
  set(CPACK_SYSTEM_NAME windows-x86)
endif()
set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME ZembTools)
set(CPACK_PACKAGE_VENDOR Zemb)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Zemb device ROM programming, misc record and IO tools")
set(CPACK_STRIP_FILES ON)
# No source package: the archives are for operators.
set(CPACK_SOURCE_GENERATOR "")
include(CPack)
