# What every test under Wine shares, as ctest fixtures: an X display of the run's own (Xvfb), on which Wine
# draws the windows, and one Wine server for the Wine prefix, so that each program starts quickly. Every test
# program run under Wine requires both (DOORLOCK_WINE_FIXTURES) and gets the display and the prefix in its
# environment (DOORLOCK_WINE_ENVIRONMENT). Included from tests/CMakeLists.txt for the Windows build.

get_filename_component(_wine_default_prefix "${CMAKE_BINARY_DIR}/../wineprefix" ABSOLUTE)
set(DOORLOCK_WINEPREFIX "${_wine_default_prefix}" CACHE PATH "The Wine prefix the tests run in")
# A display number of this build tree's own unless told (scripts/test-windows.sh picks a free one).
string(MD5 _wine_tree_hash "${CMAKE_BINARY_DIR}")
string(SUBSTRING "${_wine_tree_hash}" 0 3 _wine_tree_hash)
math(EXPR _wine_display "100 + 0x${_wine_tree_hash} % 800" OUTPUT_FORMAT DECIMAL)
set(DOORLOCK_WINE_DISPLAY ":${_wine_display}" CACHE STRING "The X display (Xvfb) of the tests under Wine")
find_program(DOORLOCK_WINESERVER NAMES wineserver64 wineserver32 wineserver PATHS /usr/lib/wine NO_DEFAULT_PATH)
if(NOT DOORLOCK_WINESERVER)
    find_program(DOORLOCK_WINESERVER NAMES wineserver)
endif()

set(DOORLOCK_WINE_FIXTURES wine_display wine_server)
# No question about Mono or Gecko, no Wine messages, no Wayland.
set(DOORLOCK_WINE_ENVIRONMENT "DISPLAY=set:${DOORLOCK_WINE_DISPLAY}" "WINEPREFIX=set:${DOORLOCK_WINEPREFIX}"
    "WINEDEBUG=set:-all" "WINEDLLOVERRIDES=set:mscoree,mshtml=" "WAYLAND_DISPLAY=unset:")
set(_wine_state "${CMAKE_BINARY_DIR}/wine-fixtures")

foreach(fixture display:XvfbFixture server:WineServerFixture)
    string(REPLACE ":" ";" fixture ${fixture})
    list(GET fixture 0 name)
    list(GET fixture 1 script)
    foreach(action start stop)
        add_test(NAME wine_${name}_${action}
                 COMMAND ${CMAKE_COMMAND} -DACTION=${action} -DSTATE_DIR=${_wine_state}
                         -DSOURCE_DIR=${PROJECT_SOURCE_DIR} -DWINESERVER=${DOORLOCK_WINESERVER}
                         -P ${CMAKE_CURRENT_LIST_DIR}/${script}.cmake)
        set_tests_properties(wine_${name}_${action} PROPERTIES LABELS wine TIMEOUT 600
                             ENVIRONMENT_MODIFICATION "${DOORLOCK_WINE_ENVIRONMENT}")
    endforeach()
    set_tests_properties(wine_${name}_start PROPERTIES FIXTURES_SETUP wine_${name})
    set_tests_properties(wine_${name}_stop PROPERTIES FIXTURES_CLEANUP wine_${name})
endforeach()
# The Wine server's programs draw on the display: it starts after the display and stops before it.
set_tests_properties(wine_server_start wine_server_stop PROPERTIES FIXTURES_REQUIRED wine_display)
