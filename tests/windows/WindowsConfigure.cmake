# Runs the project's configure step as for Windows (mingw-w64, with this
# machine's Qt standing in for a Windows one, given as ORVIK_MINGW_QT) and
# reads from CMake's trace which tests it adds and whether the Qt libraries
# and plugins are installed. Generating the build cannot succeed with a Linux
# Qt, so only the configure step counts. Where the Windows Qt is at hand the
# cross build itself runs; this check also runs where it is not.
#
#   cmake -DSOURCE_DIR=... -DWORK_DIR=... -DGENERATOR=... -DMINGW_CXX=...
#         -DMINGW_WINDRES=... -DQT6_DIR=... -P WindowsConfigure.cmake

cmake_minimum_required(VERSION 3.21)

file(REMOVE_RECURSE "${WORK_DIR}")
file(MAKE_DIRECTORY "${WORK_DIR}")
# A Qt installation's layout around this machine's Qt packages.
get_filename_component(qt_cmake_dir "${QT6_DIR}/.." ABSOLUTE)
file(MAKE_DIRECTORY "${WORK_DIR}/qt/lib")
file(CREATE_LINK "${qt_cmake_dir}" "${WORK_DIR}/qt/lib/cmake" SYMBOLIC)
set(trace "${WORK_DIR}/trace.txt")
execute_process(
    COMMAND "${CMAKE_COMMAND}" -S "${SOURCE_DIR}" -B "${WORK_DIR}" -G "${GENERATOR}"
        -DCMAKE_SYSTEM_NAME=Windows
        "-DCMAKE_CXX_COMPILER=${MINGW_CXX}" "-DCMAKE_RC_COMPILER=${MINGW_WINDRES}"
        "-DORVIK_MINGW_QT=${WORK_DIR}/qt" -DCMAKE_FIND_ROOT_PATH_MODE_PACKAGE=BOTH
        --trace-expand "--trace-redirect=${trace}"
    RESULT_VARIABLE result
    OUTPUT_VARIABLE out
    ERROR_VARIABLE err)
if(NOT out MATCHES "Configuring done")
    message(FATAL_ERROR "the Windows configure step failed:\n${out}\n${err}")
endif()

file(STRINGS "${trace}" calls REGEX "CMakeLists\\.txt\\([0-9]+\\): +add_test\\(NAME ")
set(added "")
foreach(call IN LISTS calls)
    string(REGEX REPLACE ".*add_test\\(NAME ([^ ]+).*" "\\1" name "${call}")
    list(APPEND added "${name}")
endforeach()
list(SORT added)
message(STATUS "tests added: ${added}")

# What Windows must run: the protocol's encoding and decoding, the scrambler,
# the form, the resources, the simulated unit's core, the fuzz replays and the
# controller with crafted replies.
foreach(name tst_dataslice tst_replydecoder tst_scrambler tst_mainwindowform tst_resources
        tst_devicesimulator fuzz_replay_replydecoder fuzz_replay_devicesimulator tst_controller
        tst_controllerwatchdog)
    if(NOT name IN_LIST added)
        message(SEND_ERROR "${name} is not added on Windows")
    endif()
endforeach()
# What needs the loopback devices, JACK, fork/exec or Linux headers.
foreach(name IN LISTS added)
    if(name MATCHES "^(tst_winmmlayer|tst_winmmhandles|tst_midiportpair|tst_midihandoff|tst_jackecho|tst_sessionframes|tst_blocksender|tst_endtoend|tst_endtoendconnect|tst_faultcampaign|tst_devsim(inprocess|commandline|jack)|tst_memoryflat|memcheck_update|fuzz_replay_loopbackinput|acceptance_.*|bench_.*|tst_bench.*|debian_package)$")
        message(SEND_ERROR "${name} is added on Windows, where it cannot build or run")
    endif()
endforeach()

foreach(file Qt6::Widgets Qt6::QWindowsIntegrationPlugin Qt6::QWindowsVistaStylePlugin)
    file(STRINGS "${trace}" deploy REGEX "install\\(FILES .*\\$<TARGET_FILE:${file}>")
    if(NOT deploy)
        message(SEND_ERROR "${file} is not installed beside the program on Windows")
    endif()
endforeach()
