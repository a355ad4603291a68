# What the checks under Wine (cmake -P tests/windows/<Check>.cmake) share: running a program with a time
# limit, starting one in the background and stopping it, waiting for a host to answer, failing.
#
# Every check gets -DSOURCE_DIR (the source tree), -DBUILD (the Windows build tree) and -DCHECK (its name);
# those that drive Windows programs with Linux ones -DLINUX_BUILD (the Linux build tree, empty when there is
# none). The Wine prefix and the X display come from the environment (the ctest fixtures').
cmake_minimum_required(VERSION 3.21)

set(WINE_RUN "${SOURCE_DIR}/scripts/wine-run.sh")
set_property(GLOBAL PROPERTY check_started_pids "")

# Stops what the check started in the background and fails it with the message.
function(check_fail text)
    get_property(pids GLOBAL PROPERTY check_started_pids)
    foreach(pid IN LISTS pids)
        execute_process(COMMAND kill -KILL ${pid} OUTPUT_QUIET ERROR_QUIET)
    endforeach()
    message(FATAL_ERROR "${CHECK}: ${text}")
endfunction()

# The check ends here, neither passed nor failed (the test's SKIP_REGULAR_EXPRESSION matches the line).
macro(check_skip)
    string(JOIN "" _skip_reason ${ARGN})
    message("${CHECK}: skipped: ${_skip_reason}")
    return()
endmacro()

# Without the Linux build the programs that drive and are compared with the Windows ones are missing.
macro(check_needs_linux_build)
    if(NOT LINUX_BUILD)
        check_skip("no Linux build to drive the Windows programs with (DOORLOCK_LINUX_BUILD_DIR is not set, "
                   "scripts/test-windows.sh sets it)")
    endif()
    set(LINUX_CLI "${LINUX_BUILD}/bin/doorlock-cli")
    if(NOT EXISTS "${LINUX_CLI}")
        check_fail("${LINUX_CLI} is not built")
    endif()
endmacro()

# run(<status var> TIMEOUT <s> [OUTPUT <var>] [OUTPUT_FILE <file>] COMMAND ...): the program's exit status,
# or the text that says it ran out of time. Its standard input is empty; its output goes to the variable, the
# file, or the test's output. The output goes through a file, never a pipe: a program Wine starts on the way
# (its desktop, a service) keeps what it inherits open, and a pipe would hold the run up until its time limit.
function(run status_var)
    cmake_parse_arguments(ARG "" "TIMEOUT;OUTPUT;OUTPUT_FILE" "COMMAND" ${ARGN})
    set(capture "${BUILD}/${CHECK}-output.txt")
    set(errors "${capture}")
    if(ARG_OUTPUT_FILE)
        set(capture "${ARG_OUTPUT_FILE}")
        set(errors "${BUILD}/${CHECK}-errors.txt")
    endif()
    execute_process(COMMAND ${ARG_COMMAND} INPUT_FILE /dev/null TIMEOUT ${ARG_TIMEOUT} RESULT_VARIABLE status
                    OUTPUT_FILE "${capture}" ERROR_FILE "${errors}")
    set(${status_var} "${status}" PARENT_SCOPE)
    if(ARG_OUTPUT)
        file(READ "${capture}" out)
        set(${ARG_OUTPUT} "${out}" PARENT_SCOPE)
    elseif(NOT ARG_OUTPUT_FILE)
        file(READ "${capture}" out)
        message("${out}")
    else()
        file(READ "${errors}" out)
        if(NOT out STREQUAL "")
            message("${out}")
        endif()
    endif()
endfunction()

# start(<pid var> <output file> COMMAND ...): the program runs in the background with its output in the file;
# check_fail ends it.
function(start pid_var output)
    cmake_parse_arguments(ARG "" "" "COMMAND" ${ARGN})
    execute_process(COMMAND sh -c "\"$@\" </dev/null >\"$0\" 2>&1 & echo $!" "${output}" ${ARG_COMMAND}
                    TIMEOUT 30 OUTPUT_VARIABLE pid OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE status)
    if(NOT status EQUAL 0 OR NOT pid MATCHES "^[0-9]+$")
        check_fail("could not start ${ARG_COMMAND}")
    endif()
    set_property(GLOBAL APPEND PROPERTY check_started_pids ${pid})
    set(${pid_var} ${pid} PARENT_SCOPE)
endfunction()

# Whether the process started by start() still runs (one that ended and that nobody reaped counts as ended).
function(running result_var pid)
    set(alive FALSE)
    if(EXISTS "/proc/${pid}/stat")
        file(READ "/proc/${pid}/stat" stat)
        if(stat MATCHES "^[0-9]+ \\(.*\\) ([A-Za-z])" AND NOT CMAKE_MATCH_1 STREQUAL "Z")
            set(alive TRUE)
        endif()
    endif()
    set(${result_var} ${alive} PARENT_SCOPE)
endfunction()

# wait_ended(<result var> <pid> <seconds>): waits up to seconds for the process to end; the result is whether it
# still runs.
function(wait_ended result_var pid seconds)
    math(EXPR rounds "${seconds} * 10")
    foreach(round RANGE ${rounds})
        running(alive ${pid})
        if(NOT alive)
            break()
        endif()
        execute_process(COMMAND ${CMAKE_COMMAND} -E sleep 0.1)
    endforeach()
    set(${result_var} ${alive} PARENT_SCOPE)
endfunction()

# stop(<pid> <signal> <seconds> [<ended var>]): sends the signal and waits as long for the process to end.
function(stop pid signal seconds)
    execute_process(COMMAND kill -${signal} ${pid} OUTPUT_QUIET ERROR_QUIET)
    wait_ended(alive ${pid} ${seconds})
    if(ARGC GREATER 3)
        set(${ARGV3} ${alive} PARENT_SCOPE)
    endif()
    if(alive)
        execute_process(COMMAND kill -KILL ${pid} OUTPUT_QUIET ERROR_QUIET)
    endif()
endfunction()

# wait_listening(<port> <pid> <output file> <what> [client arguments...]): waits until the host started as
# process pid answers the Linux client's request on the port (the client's status 2: no answer); fails with
# the host's output when it ends first or takes more than a minute.
function(wait_listening port pid output what)
    foreach(round RANGE 600)
        execute_process(COMMAND "${LINUX_CLI}" --port ${port} ${ARGN} read INPUT_FILE /dev/null TIMEOUT 60
                        RESULT_VARIABLE answered OUTPUT_QUIET ERROR_QUIET)
        if(NOT answered STREQUAL "2")
            return()
        endif()
        running(alive ${pid})
        if(NOT alive)
            break()
        endif()
        execute_process(COMMAND ${CMAKE_COMMAND} -E sleep 0.1)
    endforeach()
    file(READ "${output}" text)
    message("${text}")
    check_fail("${what} did not start")
endfunction()

# The Windows name of a file of this machine, on Wine's drive Z:.
function(windows_path result_var path)
    string(REPLACE "/" "\\" path "${path}")
    set(${result_var} "Z:${path}" PARENT_SCOPE)
endfunction()

# A port below the ones the system hands out, from base to base + 9999.
function(random_port result_var base)
    string(RANDOM LENGTH 4 ALPHABET 0123456789 digits)
    math(EXPR port "${base} + 1${digits} - 10000")
    set(${result_var} ${port} PARENT_SCOPE)
endfunction()

# The two files' differences, for a failure's message.
function(file_diff result_var a b)
    execute_process(COMMAND diff "${a}" "${b}" OUTPUT_VARIABLE out ERROR_VARIABLE out)
    set(${result_var} "${out}" PARENT_SCOPE)
endfunction()

# The file's bytes as they are: file(READ) would turn each CR LF into LF. CR travels as byte 1 past it.
function(read_bytes result_var path)
    execute_process(COMMAND tr "\\r" "\\001" INPUT_FILE "${path}" OUTPUT_VARIABLE bytes RESULT_VARIABLE status)
    if(NOT status EQUAL 0)
        check_fail("cannot read ${path}")
    endif()
    string(ASCII 1 carriage_return)
    string(REPLACE "${carriage_return}" "\r" bytes "${bytes}")
    set(${result_var} "${bytes}" PARENT_SCOPE)
endfunction()
