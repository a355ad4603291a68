# Code page 936: the Linux conversion (iconv and our own additions) of every one- and two-byte sequence and of
# every UTF-16 unit must be what the Windows build (-DCODEPAGE_TABLE, codepage-table.exe) gets from the code
# page API under Wine, byte for byte.
include("${CMAKE_CURRENT_LIST_DIR}/WineCheck.cmake")
check_needs_linux_build()

set(work "${BUILD}/codepage")
file(REMOVE_RECURSE "${work}")
file(MAKE_DIRECTORY "${work}")
run(status TIMEOUT 300 COMMAND "${LINUX_BUILD}/bin/codepage-table" "${work}/linux.txt")
if(NOT status EQUAL 0)
    check_fail("the Linux codepage-table failed (${status})")
endif()
windows_path(shown "${work}/windows.txt")
run(status TIMEOUT 300 COMMAND "${WINE_RUN}" "${CODEPAGE_TABLE}" "${shown}")
execute_process(COMMAND ${CMAKE_COMMAND} -E compare_files "${work}/linux.txt" "${work}/windows.txt"
                RESULT_VARIABLE differ)
if(NOT differ EQUAL 0)
    file_diff(diff "${work}/linux.txt" "${work}/windows.txt")
    string(SUBSTRING "${diff}" 0 4000 diff)
    check_fail("code page 936 converts differently on Linux (<) and Windows (>):\n${diff}")
endif()
message("${CHECK}: code page 936 converts on Linux as on Windows (every one- and two-byte sequence, every "
        "UTF-16 unit)")
