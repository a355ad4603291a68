# The load generator runs the real host (fork/exec, /proc), so it is built where those exist.
if(CMAKE_SYSTEM_NAME STREQUAL "Linux")
    add_executable(doorlock-loadgen loadgen.cpp)
    target_link_libraries(doorlock-loadgen PRIVATE doorlock_core doorlock_warnings)
    # It starts the doorlock-host of the same build.
    add_dependencies(doorlock-loadgen doorlock-host)
endif()
