# Runs the project's configure step with bad build data and expects each run
# to fail with a message that names the file, what it found and what it wanted.

file(REMOVE_RECURSE "${WORK_DIR}")
file(MAKE_DIRECTORY "${WORK_DIR}")

# A file of 1000 bytes: the wrong size for both the image and the table.
string(REPEAT "x" 1000 thousand)
file(WRITE "${WORK_DIR}/short.bin" "${thousand}")

set(failures 0)

function(expect_rejected label expected_regex)
    set(build "${WORK_DIR}/build-${label}")
    execute_process(
        COMMAND "${CMAKE_COMMAND}" -S "${SOURCE_DIR}" -B "${build}" -G "${GENERATOR}" ${ARGN}
        RESULT_VARIABLE result
        OUTPUT_VARIABLE out
        ERROR_VARIABLE err)
    # CMake wraps long messages; compare the text, not its line breaks.
    string(REGEX REPLACE "[ \t\r\n]+" " " err "${err}")
    if(result EQUAL 0)
        message(SEND_ERROR "${label}: configure succeeded; expected it to stop")
    elseif(NOT err MATCHES "${expected_regex}")
        message(SEND_ERROR "${label}: message does not match '${expected_regex}':\n${err}")
    else()
        message(STATUS "${label}: rejected as expected")
    endif()
    if(EXISTS "${build}/build.ninja" OR EXISTS "${build}/Makefile")
        message(SEND_ERROR "${label}: a build system was generated despite the error")
    endif()
endfunction()

expect_rejected(image_size
    "ORVIK_FIRMWARE_IMAGE: '[^']*short.bin' has 1000 bytes; expected exactly 450560 bytes"
    -DORVIK_FIRMWARE_IMAGE=${WORK_DIR}/short.bin)
expect_rejected(image_missing
    "ORVIK_FIRMWARE_IMAGE: '[^']*missing.bin' does not exist"
    -DORVIK_FIRMWARE_IMAGE=${WORK_DIR}/missing.bin)
expect_rejected(picture_not_png
    "ORVIK_UPDATE_PICTURE: '[^']*short.bin' is not a PNG file"
    -DORVIK_UPDATE_PICTURE=${WORK_DIR}/short.bin)
expect_rejected(picture_size
    "ORVIK_UPDATE_PICTURE: '[^']*orvik16-update-48.png' is 48 x 48 pixels; expected a 320 x 87 PNG"
    -DORVIK_UPDATE_PICTURE=${SOURCE_DIR}/resources/icons/orvik16-update-48.png)
expect_rejected(table_size
    "ORVIK_SCRAMBLE_TABLE: '[^']*short.bin' has 1000 bytes; expected exactly 8192 bytes"
    -DORVIK_SCRAMBLE_TABLE=${WORK_DIR}/short.bin)
expect_rejected(access_code_high
    "ORVIK_ACCESS_CODE: byte 80 in '05 2A 80 0F' is 0x80 or more"
    "-DORVIK_ACCESS_CODE=05 2A 80 0F")
expect_rejected(firmware_version_digits
    "ORVIK_FIRMWARE_VERSION: '2.6' is not MAJOR.MINOR with two digits after the point"
    -DORVIK_FIRMWARE_VERSION=2.6)
expect_rejected(access_code_count
    "ORVIK_ACCESS_CODE: '05 2A 61' is not four two-digit hexadecimal bytes"
    "-DORVIK_ACCESS_CODE=05 2A 61")
