# The end-to-end tests run programs of the build.
add_dependencies(${test_target} doorlock-host doorlock-cli)
if(TARGET police-example-host AND TARGET member-example-host)
    add_dependencies(${test_target} police-example-host member-example-host)
endif()
