# Cross-builds for 64-bit Windows with Debian's mingw-w64 compilers. The posix
# thread model: std::thread and std::mutex need it, and the Windows Qt we use
# was built with the same compilers.
#
# The Qt for Windows is found by cmake/MingwQt.cmake, once the project runs.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(ORVIK_MINGW_TRIPLET x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${ORVIK_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${ORVIK_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${ORVIK_MINGW_TRIPLET}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${ORVIK_MINGW_TRIPLET})
# Programs (moc, rcc, uic, makensis) are the build machine's; libraries,
# headers and packages the target's.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
