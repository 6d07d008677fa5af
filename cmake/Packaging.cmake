# The Debian package: `cpack -G DEB` in a release build. Everything the
# install rules put down goes in; libraries come from the system, so the
# package's dependencies are read off the binary by dpkg-shlibdeps.
#
# On Windows: `cpack` makes an installer (NSIS) and a ZIP of the same files,
# the program with the Qt libraries and plugins beside it.

set(CPACK_PACKAGE_NAME "${ORVIK_PACKAGE_NAME}")
set(CPACK_PACKAGE_VENDOR "Zelvonik")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
set(CPACK_PACKAGE_HOMEPAGE_URL "${PROJECT_HOMEPAGE_URL}")
set(CPACK_RESOURCE_FILE_LICENSE "${PROJECT_SOURCE_DIR}/LICENSE")
set(CPACK_PACKAGE_CONTACT "Zelvonik <dev@zelvonik.example>")
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION "sound")
set(CPACK_DEBIAN_PACKAGE_PRIORITY "optional")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The summary is the synopsis line; CPack indents this body under it.
set(CPACK_PACKAGE_DESCRIPTION "Orvik16 Update sends a new firmware image to a unit of the
Orvik16 family (KX and LX editions) over an ordinary MIDI cable, as
System Exclusive messages. One window: pick the unit's MIDI ports,
connect, update.")
# Control files with the owners and modes Debian asks for.
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

if(WIN32)
    set(CPACK_GENERATOR "NSIS;ZIP")
    set(CPACK_PACKAGE_FILE_NAME "${ORVIK_PACKAGE_NAME}-${PROJECT_VERSION}-win64")
    set(CPACK_PACKAGE_INSTALL_DIRECTORY "Orvik16 Update")
    # The program is 64-bit, and so is the installer where NSIS can make
    # one (Debian's nsis can, the Windows download has only 32-bit stubs): a
    # 32-bit installer needs 32-bit support to start at all (Wine without
    # wine32 has none) and writes to the 32-bit programs' registry view.
    find_program(ORVIK_MAKENSIS makensis)
    if(ORVIK_MAKENSIS)
        get_filename_component(nsis_dir "${ORVIK_MAKENSIS}" DIRECTORY)
        find_path(ORVIK_NSIS_AMD64_STUBS lzma-amd64-unicode
            PATHS "${nsis_dir}/Stubs" "${nsis_dir}/../share/nsis/Stubs"
            NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH)
        if(ORVIK_NSIS_AMD64_STUBS)
            set(CPACK_NSIS_DEFINES "Target amd64-unicode")
        endif()
    endif()
    set(CPACK_NSIS_INSTALL_ROOT "$PROGRAMFILES64")
    set(CPACK_NSIS_PACKAGE_NAME "Orvik16 Update")
    set(CPACK_NSIS_DISPLAY_NAME "Orvik16 Update ${PROJECT_VERSION}")
    set(CPACK_NSIS_MUI_ICON "${PROJECT_SOURCE_DIR}/resources/icons/orvik16-update.ico")
    set(CPACK_NSIS_MUI_UNIICON "${PROJECT_SOURCE_DIR}/resources/icons/orvik16-update.ico")
    set(CPACK_NSIS_INSTALLED_ICON_NAME "bin\\orvik16-update.exe")
    set(CPACK_NSIS_URL_INFO_ABOUT "${PROJECT_HOMEPAGE_URL}")
    # A second install over the first replaces it instead of leaving two
    # entries in the list of programs.
    set(CPACK_NSIS_ENABLE_UNINSTALL_BEFORE_INSTALL ON)
    # The Start menu entry: program name, then the entry's text.
    set(CPACK_PACKAGE_EXECUTABLES "orvik16-update" "Orvik16 Update")
endif()

include(CPack)
