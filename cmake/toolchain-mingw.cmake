# What the mingw-w64 cross builds share (posix thread model); the
# toolchain-mingw-<arch>.cmake files name the target triplet and processor
# and include this one.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_C_COMPILER ${ZEMB_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${ZEMB_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${ZEMB_MINGW_TRIPLET}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${ZEMB_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
