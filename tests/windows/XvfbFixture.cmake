# The X display the Windows programs draw their windows on under Wine: an Xvfb of the test run's own, at
# the display the tests get as DISPLAY. -DACTION=start starts it (and waits until it takes connections),
# -DACTION=stop stops it; -DSTATE_DIR keeps its process id in between.
cmake_minimum_required(VERSION 3.21)
set(pid_file "${STATE_DIR}/xvfb.pid")
set(display "$ENV{DISPLAY}")
if(NOT display MATCHES "^:([0-9]+)$")
    message(FATAL_ERROR "xvfb: DISPLAY is '${display}', not :NUMBER")
endif()
set(number ${CMAKE_MATCH_1})

if(ACTION STREQUAL "stop")
    if(EXISTS "${pid_file}")
        file(READ "${pid_file}" pid)
        execute_process(COMMAND kill ${pid} OUTPUT_QUIET ERROR_QUIET)
        file(REMOVE "${pid_file}")
    endif()
    return()
endif()

file(MAKE_DIRECTORY "${STATE_DIR}")
if(EXISTS "/tmp/.X${number}-lock" OR EXISTS "/tmp/.X11-unix/X${number}")
    message(FATAL_ERROR "xvfb: the display ${display} is taken (choose another with -DDOORLOCK_WINE_DISPLAY)")
endif()
set(ready "${STATE_DIR}/xvfb.ready")
file(REMOVE "${ready}")
execute_process(
    COMMAND sh -c "Xvfb \"$1\" -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp 3>\"$0\" </dev/null >/dev/null 2>&1 &
echo $!" "${ready}" "${display}"
    TIMEOUT 30 OUTPUT_VARIABLE pid OUTPUT_STRIP_TRAILING_WHITESPACE)
file(WRITE "${pid_file}" "${pid}")
foreach(round RANGE 100)
    if(EXISTS "${ready}")
        file(READ "${ready}" shown)
        if(shown MATCHES "[0-9]")
            message("xvfb: ${display} (process ${pid})")
            return()
        endif()
    endif()
    execute_process(COMMAND ${CMAKE_COMMAND} -E sleep 0.1)
endforeach()
execute_process(COMMAND kill ${pid} OUTPUT_QUIET ERROR_QUIET)
file(REMOVE "${pid_file}")
message(FATAL_ERROR "xvfb: Xvfb did not start on ${display}")
