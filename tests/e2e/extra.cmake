# The end-to-end tests run programs of the build. e2e_tests is created after this file is read, and a
# deferred call sees none of this function's variables: expand the list now.
set(e2e_programs doorlock-host)
if(TARGET police-example-host AND TARGET member-example-host)
    list(APPEND e2e_programs police-example-host member-example-host)
endif()
cmake_language(EVAL CODE "cmake_language(DEFER CALL add_dependencies e2e_tests ${e2e_programs})")
