# The Debian package: `cpack -G DEB` in a release build. Everything the
# install rules put down goes in; libraries come from the system, so the
# package's dependencies are read off the binary by dpkg-shlibdeps.

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

include(CPack)
