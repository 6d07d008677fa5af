# A cross build's tests run under Wine: CTest starts every test program
# through a wrapper that gives it a Wine prefix of the build tree's own and
# finds the Qt libraries, the plugins and the compiler's runtime for it.
#
# Sets CMAKE_CROSSCOMPILING_EMULATOR, when Wine is there.

find_program(ORVIK_WINE wine)
find_program(ORVIK_WINESERVER wineserver)
if(NOT ORVIK_WINE OR NOT ORVIK_WINESERVER)
    message(STATUS "Windows tests cannot run here: needs Wine (Debian: wine, wine64)")
    return()
endif()

# Windows paths: Wine shows the root of this file system as drive Z:.
set(dirs "${ORVIK_MINGW_QT}/bin")
foreach(dll IN LISTS ORVIK_MINGW_RUNTIME_DLLS)
    get_filename_component(dir "${dll}" DIRECTORY)
    list(APPEND dirs "${dir}")
endforeach()
list(REMOVE_DUPLICATES dirs)
set(ORVIK_WINEPATH "")
foreach(dir IN LISTS dirs)
    string(REPLACE "/" "\\" dir "Z:${dir}")
    list(APPEND ORVIK_WINEPATH "${dir}")
endforeach()
string(REPLACE "/" "\\" ORVIK_QT_PLUGIN_DIR "Z:${ORVIK_MINGW_QT}/plugins")
# Debian's fonts-dejavu-core, where it is installed.
set(ORVIK_HOST_FONT_DIR /usr/share/fonts/truetype/dejavu)
string(REPLACE "/" "\\" ORVIK_WINE_FONT_DIR "Z:${ORVIK_HOST_FONT_DIR}")
set(ORVIK_WINEPREFIX "${CMAKE_BINARY_DIR}/wineprefix")
configure_file("${PROJECT_SOURCE_DIR}/tests/windows/wine-run.sh.in"
    "${CMAKE_BINARY_DIR}/wine-run" @ONLY
    FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
        WORLD_READ WORLD_EXECUTE)
set(CMAKE_CROSSCOMPILING_EMULATOR "${CMAKE_BINARY_DIR}/wine-run")
