# One Wine server for the whole test run, so that each program starts quickly. -DACTION=start sets up the
# prefix (WINEPREFIX) when it is new and starts a persistent server (wineserver -p); a server already running
# for the prefix is used as it is and left running. -DACTION=stop stops the server that start started.
# -DWINESERVER is the server program, -DSOURCE_DIR the source tree, -DSTATE_DIR keeps what start found.
cmake_minimum_required(VERSION 3.21)
set(started_file "${STATE_DIR}/wineserver.started")
set(wine_run "${SOURCE_DIR}/scripts/wine-run.sh")

if(ACTION STREQUAL "stop")
    if(EXISTS "${started_file}")
        execute_process(COMMAND "${WINESERVER}" -k INPUT_FILE /dev/null OUTPUT_QUIET ERROR_QUIET TIMEOUT 60)
        file(REMOVE "${started_file}")
    endif()
    return()
endif()

file(MAKE_DIRECTORY "${STATE_DIR}")
file(REMOVE "${started_file}")
set(prefix "$ENV{WINEPREFIX}")
if(NOT EXISTS "${prefix}/system.reg")
    message("wineserver: setting up the Wine prefix ${prefix}")
    # Into a file: the services it starts would hold a pipe open.
    execute_process(COMMAND "${wine_run}" wineboot --init INPUT_FILE /dev/null TIMEOUT 300
                    OUTPUT_FILE "${STATE_DIR}/wineboot.log" ERROR_FILE "${STATE_DIR}/wineboot.log" RESULT_VARIABLE status)
    if(NOT status EQUAL 0)
        file(READ "${STATE_DIR}/wineboot.log" out)
        message(FATAL_ERROR "${out}\nwineserver: the Wine prefix could not be set up (${status})")
    endif()
    # The set-up's own server ends a few seconds after it.
    execute_process(COMMAND "${WINESERVER}" -w INPUT_FILE /dev/null TIMEOUT 60 OUTPUT_QUIET ERROR_QUIET)
endif()
execute_process(COMMAND "${WINESERVER}" -p INPUT_FILE /dev/null OUTPUT_FILE /dev/null ERROR_FILE /dev/null
                TIMEOUT 60 RESULT_VARIABLE status)
if(status STREQUAL "2")
    message("wineserver: using the Wine server already running for ${prefix}")
    return()
elseif(NOT status STREQUAL "0")
    message(FATAL_ERROR "wineserver: the Wine server did not start (${status})")
endif()
file(WRITE "${started_file}" "")
# The first program of a new server starts Wine's own services, which would hold on to the output of that
# program (and ctest would wait for them): a program of no interest starts them.
execute_process(COMMAND "${wine_run}" cmd /c exit INPUT_FILE /dev/null OUTPUT_FILE /dev/null
                ERROR_FILE /dev/null TIMEOUT 120)
message("wineserver: started for ${prefix}")
