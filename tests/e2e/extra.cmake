# The end-to-end tests run programs of the build.
add_dependencies(${test_target} doorlock-host doorlock-cli)
if(TARGET police-example-host AND TARGET member-example-host)
    add_dependencies(${test_target} police-example-host member-example-host)
endif()
# The fake vendor encoder library of the device tests, loaded by a real host.
if(TARGET fakecardenc)
    add_dependencies(${test_target} fakecardenc)
    target_compile_definitions(${test_target} PRIVATE "FAKE_CARDENC_PATH=\"$<TARGET_FILE:fakecardenc>\"")
endif()
