# Runs the project's configure step as for Windows (mingw-w64, with this
# machine's Qt standing in for a Windows one) and reads from CMake's trace
# which tests it adds and whether the Qt deploy step is installed. Generating
# the build cannot succeed with a Linux Qt, so only the configure step counts.
#
#   cmake -DSOURCE_DIR=... -DWORK_DIR=... -DGENERATOR=... -DMINGW_CXX=...
#         -DMINGW_WINDRES=... -DQT6_DIR=... -P WindowsConfigure.cmake

cmake_minimum_required(VERSION 3.21)

file(REMOVE_RECURSE "${WORK_DIR}")
file(MAKE_DIRECTORY "${WORK_DIR}")
set(trace "${WORK_DIR}/trace.txt")
execute_process(
    COMMAND "${CMAKE_COMMAND}" -S "${SOURCE_DIR}" -B "${WORK_DIR}" -G "${GENERATOR}"
        -DCMAKE_SYSTEM_NAME=Windows
        "-DCMAKE_CXX_COMPILER=${MINGW_CXX}" "-DCMAKE_RC_COMPILER=${MINGW_WINDRES}"
        "-DQt6_DIR=${QT6_DIR}" -DCMAKE_FIND_ROOT_PATH_MODE_PACKAGE=BOTH
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
# the form and the controller with crafted replies.
foreach(name tst_dataslice tst_replydecoder tst_scrambler tst_mainwindowform tst_controller)
    if(NOT name IN_LIST added)
        message(SEND_ERROR "${name} is not added on Windows")
    endif()
endforeach()
# What needs the loopback devices, JACK, fork/exec or Linux headers.
foreach(name IN LISTS added)
    if(name MATCHES "^(tst_winmmlayer|tst_midiportpair|tst_midihandoff|tst_jackecho|tst_sessionframes|tst_blocksender|tst_endtoend|tst_faultcampaign|tst_devsim(inprocess|commandline|jack)|tst_memoryflat|memcheck_update|fuzz_replay_loopbackinput|acceptance_.*|bench_.*|tst_bench.*|debian_package)$")
        message(SEND_ERROR "${name} is added on Windows, where it cannot build or run")
    endif()
endforeach()

file(STRINGS "${trace}" deploy REGEX "qt_generate_deploy_app_script\\(TARGET orvik16-update")
if(NOT deploy)
    message(SEND_ERROR "no Qt deploy script for orvik16-update on Windows")
endif()
