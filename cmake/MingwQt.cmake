# The Qt for Windows that a cross build links: ORVIK_MINGW_QT (an unpacked
# Qt) when given, otherwise the prebuilt tarball beside the checkout, unpacked
# into the build tree the first time. moc, rcc and uic are the build machine's.
#
# Sets ORVIK_MINGW_QT to the Qt folder used, and ORVIK_MINGW_RUNTIME_DLLS to
# the compiler's runtime libraries that every program needs beside it.

set(ORVIK_MINGW_QT "$ENV{ORVIK_MINGW_QT}" CACHE PATH "An unpacked Qt for Windows (mingw-w64)")
set(ORVIK_MINGW_QT_TARBALL "${PROJECT_SOURCE_DIR}/../shared/qt6-mingw/qt6-mingw-6.4.2.tar.xz"
    CACHE FILEPATH "Qt for Windows to unpack when ORVIK_MINGW_QT is not given")

# The tarball's Qt is checked again at every configure, so that a new
# tarball replaces the one unpacked before.
set(unpacked "${CMAKE_BINARY_DIR}/qt6-mingw")
string(FIND "${ORVIK_MINGW_QT}" "${unpacked}/" unpacked_at)
if(NOT ORVIK_MINGW_QT OR unpacked_at EQUAL 0)
    get_filename_component(tarball "${ORVIK_MINGW_QT_TARBALL}" ABSOLUTE)
    if(NOT EXISTS "${tarball}")
        message(FATAL_ERROR "No Qt for Windows: set ORVIK_MINGW_QT to an unpacked Qt built "
            "with mingw-w64, or provide ${ORVIK_MINGW_QT_TARBALL}")
    endif()
    # The stamp names the tarball's size and time, so that a new tarball is
    # unpacked again and an interrupted unpack never counts as done.
    file(TIMESTAMP "${tarball}" stamp_time "%s" UTC)
    file(SIZE "${tarball}" stamp_size)
    set(stamp "${tarball} ${stamp_size} ${stamp_time}")
    set(stamp_file "${unpacked}/.unpacked")
    set(old_stamp "")
    if(EXISTS "${stamp_file}")
        file(READ "${stamp_file}" old_stamp)
    endif()
    if(NOT old_stamp STREQUAL stamp)
        message(STATUS "Unpacking ${tarball}")
        file(REMOVE_RECURSE "${unpacked}")
        file(MAKE_DIRECTORY "${unpacked}")
        file(ARCHIVE_EXTRACT INPUT "${tarball}" DESTINATION "${unpacked}")
        file(WRITE "${stamp_file}" "${stamp}")
    endif()
    file(GLOB found LIST_DIRECTORIES true "${unpacked}/*/lib/cmake/Qt6")
    if(NOT found)
        message(FATAL_ERROR "${tarball} holds no Qt installation (no */lib/cmake/Qt6)")
    endif()
    list(GET found 0 qt_cmake_dir)
    get_filename_component(qt_root "${qt_cmake_dir}/../../.." ABSOLUTE)
    set(ORVIK_MINGW_QT "${qt_root}" CACHE PATH "An unpacked Qt for Windows (mingw-w64)" FORCE)
endif()

if(NOT EXISTS "${ORVIK_MINGW_QT}/lib/cmake/Qt6/Qt6Config.cmake")
    message(FATAL_ERROR "ORVIK_MINGW_QT=${ORVIK_MINGW_QT} is not a Qt installation "
        "(no lib/cmake/Qt6/Qt6Config.cmake)")
endif()
list(APPEND CMAKE_FIND_ROOT_PATH "${ORVIK_MINGW_QT}")
list(APPEND CMAKE_PREFIX_PATH "${ORVIK_MINGW_QT}")
if(NOT QT_HOST_PATH)
    set(QT_HOST_PATH /usr CACHE PATH "Where the build machine's Qt tools are")
endif()
if(NOT QT_HOST_PATH_CMAKE_DIR)
    # Debian keeps them under the multiarch folder, other systems in lib/.
    file(GLOB host_info LIST_DIRECTORIES true
        "${QT_HOST_PATH}/lib/*/cmake/Qt6HostInfo" "${QT_HOST_PATH}/lib/cmake/Qt6HostInfo")
    if(NOT host_info)
        message(FATAL_ERROR "No Qt host tools under QT_HOST_PATH=${QT_HOST_PATH} "
            "(Debian: qt6-base-dev-tools)")
    endif()
    list(GET host_info 0 host_info)
    get_filename_component(host_cmake_dir "${host_info}/.." ABSOLUTE)
    set(QT_HOST_PATH_CMAKE_DIR "${host_cmake_dir}" CACHE PATH "The build machine's Qt CMake packages")
endif()

# The compiler's runtime, which the cross compiler's programs load.
set(ORVIK_MINGW_RUNTIME_DLLS "")
foreach(dll libstdc++-6.dll libgcc_s_seh-1.dll libwinpthread-1.dll)
    execute_process(COMMAND "${CMAKE_CXX_COMPILER}" -print-file-name=${dll}
        OUTPUT_VARIABLE path OUTPUT_STRIP_TRAILING_WHITESPACE)
    if(NOT IS_ABSOLUTE "${path}")
        # GCC names what it does not find without a folder; winpthread
        # lives with the target's libraries.
        find_file(path_${dll} ${dll} PATHS /usr/${ORVIK_MINGW_TRIPLET}/lib NO_DEFAULT_PATH
            NO_CMAKE_FIND_ROOT_PATH)
        set(path "${path_${dll}}")
    endif()
    if(NOT EXISTS "${path}")
        message(FATAL_ERROR "The compiler's runtime ${dll} was not found")
    endif()
    get_filename_component(path "${path}" ABSOLUTE)
    list(APPEND ORVIK_MINGW_RUNTIME_DLLS "${path}")
endforeach()

