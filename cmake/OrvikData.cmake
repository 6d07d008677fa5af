# The build's data: the firmware image and the update picture (shipped as Qt
# resources), and the values only the unit and the tool share (access code and
# scramble table). A maker passes the real ones as cache variables; without
# them the build makes development stand-ins, so that a plain checkout builds
# and every code path still sees realistic data.
#
# Every supplied value is checked at configure time: a wrong file must stop the
# build before anything is compiled, never ship as a broken updater.

set(ORVIK_FIRMWARE_IMAGE "" CACHE FILEPATH "Firmware image to embed (exactly 450560 bytes)")
set(ORVIK_UPDATE_PICTURE "" CACHE FILEPATH "Update picture to embed (320 x 87 PNG with alpha)")
set(ORVIK_ACCESS_CODE "" CACHE STRING "Begin-update access code: four hex bytes below 80, e.g. '05 2A 61 0F'")
set(ORVIK_SCRAMBLE_TABLE "" CACHE FILEPATH "Scramble table (exactly 8192 bytes)")
set(ORVIK_FIRMWARE_VERSION "" CACHE STRING "Version of the firmware image as the unit reports it after the update, MAJOR.MINOR, e.g. '2.06'")

set(ORVIK_IMAGE_SIZE 450560)
set(ORVIK_TABLE_SIZE 8192)
# Development access code; a maker's build replaces it with ORVIK_ACCESS_CODE.
set(ORVIK_DEV_ACCESS_CODE "11 4C 27 5A")
# The development image's version, as its file name says.
set(ORVIK_DEV_FIRMWARE_VERSION "2.06")

function(_orvik_fail var message)
    message(FATAL_ERROR "${var}: ${message}")
endfunction()

function(_orvik_check_file var path expected_size)
    if(NOT EXISTS "${path}" OR IS_DIRECTORY "${path}")
        _orvik_fail(${var} "'${path}' does not exist or is not a file; expected a file of ${expected_size} bytes.")
    endif()
    file(SIZE "${path}" size)
    if(NOT size EQUAL expected_size)
        _orvik_fail(${var} "'${path}' has ${size} bytes; expected exactly ${expected_size} bytes.")
    endif()
endfunction()

# Reads the PNG signature and IHDR chunk by hand: CMake has no image support,
# and the check has to happen before any target exists.
function(_orvik_check_png var path width height)
    set(expected "a ${width} x ${height} PNG with an alpha channel (RGBA or grey+alpha)")
    if(NOT EXISTS "${path}" OR IS_DIRECTORY "${path}")
        _orvik_fail(${var} "'${path}' does not exist or is not a file; expected ${expected}.")
    endif()
    file(SIZE "${path}" size)
    if(size LESS 33)
        _orvik_fail(${var} "'${path}' has only ${size} bytes, too short for a PNG; expected ${expected}.")
    endif()
    file(READ "${path}" head LIMIT 26 HEX)
    string(SUBSTRING "${head}" 0 16 signature)
    string(SUBSTRING "${head}" 24 8 chunk)
    if(NOT signature STREQUAL "89504e470d0a1a0a" OR NOT chunk STREQUAL "49484452")
        _orvik_fail(${var} "'${path}' is not a PNG file; expected ${expected}.")
    endif()
    string(SUBSTRING "${head}" 32 8 w_hex)
    string(SUBSTRING "${head}" 40 8 h_hex)
    string(SUBSTRING "${head}" 50 2 type_hex)
    math(EXPR w "0x${w_hex}")
    math(EXPR h "0x${h_hex}")
    math(EXPR type "0x${type_hex}")
    if(NOT w EQUAL width OR NOT h EQUAL height)
        _orvik_fail(${var} "'${path}' is ${w} x ${h} pixels; expected ${expected}.")
    endif()
    if(NOT type EQUAL 6 AND NOT type EQUAL 4)
        _orvik_fail(${var} "'${path}' has PNG colour type ${type}, which has no alpha channel; expected ${expected}.")
    endif()
endfunction()

function(_orvik_parse_access_code text out_initialiser)
    string(STRIP "${text}" code)
    if(NOT code MATCHES "^[0-9A-Fa-f][0-9A-Fa-f] [0-9A-Fa-f][0-9A-Fa-f] [0-9A-Fa-f][0-9A-Fa-f] [0-9A-Fa-f][0-9A-Fa-f]$")
        _orvik_fail(ORVIK_ACCESS_CODE "'${text}' is not four two-digit hexadecimal bytes separated by spaces; expected e.g. '05 2A 61 0F'.")
    endif()
    string(REPLACE " " ";" bytes "${code}")
    set(items "")
    foreach(b IN LISTS bytes)
        math(EXPR v "0x${b}")
        if(v GREATER_EQUAL 128)
            _orvik_fail(ORVIK_ACCESS_CODE "byte ${b} in '${text}' is 0x80 or more; every byte must be below 0x80 (7-bit SysEx data).")
        endif()
        list(APPEND items "0x${b}")
    endforeach()
    list(JOIN items ", " joined)
    set(${out_initialiser} "${joined}" PARENT_SCOPE)
endfunction()

# The unit reports its version in 14 bits: the major number in the low byte,
# the minor one in the six bits above, shown with two digits.
function(_orvik_parse_firmware_version text out_value)
    string(STRIP "${text}" version)
    if(NOT version MATCHES "^([0-9]+)\\.([0-9][0-9])$")
        _orvik_fail(ORVIK_FIRMWARE_VERSION "'${text}' is not MAJOR.MINOR with two digits after the point; expected e.g. '2.06'.")
    endif()
    math(EXPR major "${CMAKE_MATCH_1}")
    math(EXPR minor "${CMAKE_MATCH_2}")
    if(major GREATER 255 OR minor GREATER 63)
        _orvik_fail(ORVIK_FIRMWARE_VERSION "'${text}' cannot be reported by a unit; the major number goes up to 255, the minor one up to 63.")
    endif()
    math(EXPR value "${major} + ${minor} * 256" OUTPUT_FORMAT HEXADECIMAL)
    set(${out_value} "${value}" PARENT_SCOPE)
endfunction()

# Checks what the maker supplied; runs before anything else is configured.
function(orvik_validate_build_data)
    if(ORVIK_FIRMWARE_IMAGE)
        _orvik_check_file(ORVIK_FIRMWARE_IMAGE "${ORVIK_FIRMWARE_IMAGE}" ${ORVIK_IMAGE_SIZE})
    endif()
    if(ORVIK_UPDATE_PICTURE)
        _orvik_check_png(ORVIK_UPDATE_PICTURE "${ORVIK_UPDATE_PICTURE}" 320 87)
    endif()
    if(ORVIK_SCRAMBLE_TABLE)
        _orvik_check_file(ORVIK_SCRAMBLE_TABLE "${ORVIK_SCRAMBLE_TABLE}" ${ORVIK_TABLE_SIZE})
    endif()
    if(ORVIK_ACCESS_CODE)
        _orvik_parse_access_code("${ORVIK_ACCESS_CODE}" unused)
    endif()
    if(ORVIK_FIRMWARE_VERSION)
        _orvik_parse_firmware_version("${ORVIK_FIRMWARE_VERSION}" unused)
    endif()
endfunction()

# Decides where each piece of data comes from and sets, in the caller's scope:
#   ORVIK_IMAGE_FILE    the image file that goes into the resources
#   ORVIK_PICTURE_FILE  the picture that goes into the resources
#   ORVIK_TABLE_FILE    the scramble table's binary
#   ORVIK_DATA_DIR      where generated files live
# and writes the generated access-code and firmware-version headers. Needs the orvik-devdata tool.
macro(orvik_setup_build_data)
    set(ORVIK_DATA_DIR "${CMAKE_BINARY_DIR}/generated")
    file(MAKE_DIRECTORY "${ORVIK_DATA_DIR}")

    if(ORVIK_FIRMWARE_IMAGE)
        get_filename_component(ORVIK_IMAGE_FILE "${ORVIK_FIRMWARE_IMAGE}" ABSOLUTE)
    else()
        set(ORVIK_IMAGE_FILE "${ORVIK_DATA_DIR}/orvik_resources_v2_06.bin")
        add_custom_command(OUTPUT "${ORVIK_IMAGE_FILE}"
            COMMAND ${ORVIK_DEVDATA} image "${ORVIK_IMAGE_FILE}"
            DEPENDS ${ORVIK_DEVDATA_DEPENDS}
            COMMENT "Generating the development firmware image"
            VERBATIM)
    endif()

    if(ORVIK_UPDATE_PICTURE)
        get_filename_component(ORVIK_PICTURE_FILE "${ORVIK_UPDATE_PICTURE}" ABSOLUTE)
    else()
        set(ORVIK_PICTURE_FILE "${CMAKE_SOURCE_DIR}/resources/data/update_screen_V2_06.png")
    endif()

    if(ORVIK_SCRAMBLE_TABLE)
        get_filename_component(ORVIK_TABLE_FILE "${ORVIK_SCRAMBLE_TABLE}" ABSOLUTE)
    else()
        set(ORVIK_TABLE_FILE "${ORVIK_DATA_DIR}/scramble_table.bin")
        add_custom_command(OUTPUT "${ORVIK_TABLE_FILE}"
            COMMAND ${ORVIK_DEVDATA} table "${ORVIK_TABLE_FILE}"
            DEPENDS ${ORVIK_DEVDATA_DEPENDS}
            COMMENT "Generating the development scramble table"
            VERBATIM)
    endif()

    set(ORVIK_TABLE_SOURCE "${ORVIK_DATA_DIR}/ScrambleTable.cpp")
    add_custom_command(OUTPUT "${ORVIK_TABLE_SOURCE}"
        COMMAND ${ORVIK_DEVDATA} embed "${ORVIK_TABLE_FILE}" "${ORVIK_TABLE_SOURCE}" ScrambleTable ${ORVIK_TABLE_SIZE}
        DEPENDS ${ORVIK_DEVDATA_DEPENDS} "${ORVIK_TABLE_FILE}"
        COMMENT "Embedding the scramble table"
        VERBATIM)

    if(ORVIK_ACCESS_CODE)
        _orvik_parse_access_code("${ORVIK_ACCESS_CODE}" ORVIK_ACCESS_CODE_INITIALISER)
    else()
        _orvik_parse_access_code("${ORVIK_DEV_ACCESS_CODE}" ORVIK_ACCESS_CODE_INITIALISER)
    endif()
    configure_file("${CMAKE_SOURCE_DIR}/cmake/AccessCode.h.in" "${ORVIK_DATA_DIR}/AccessCode.h" @ONLY)

    if(ORVIK_FIRMWARE_VERSION)
        string(STRIP "${ORVIK_FIRMWARE_VERSION}" ORVIK_FIRMWARE_VERSION_TEXT)
    else()
        set(ORVIK_FIRMWARE_VERSION_TEXT "${ORVIK_DEV_FIRMWARE_VERSION}")
    endif()
    _orvik_parse_firmware_version("${ORVIK_FIRMWARE_VERSION_TEXT}" ORVIK_FIRMWARE_VERSION_VALUE)
    configure_file("${CMAKE_SOURCE_DIR}/cmake/FirmwareVersion.h.in" "${ORVIK_DATA_DIR}/FirmwareVersion.h" @ONLY)

    add_custom_target(orvik_build_data DEPENDS "${ORVIK_IMAGE_FILE}" "${ORVIK_TABLE_FILE}" "${ORVIK_TABLE_SOURCE}")
endmacro()

orvik_validate_build_data()
