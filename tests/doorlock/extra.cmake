# Fake vendor encoder libraries, loaded at run time by the tests: a complete one and one that lacks
# srd_24c02.
add_library(fakecardenc MODULE ${CMAKE_CURRENT_SOURCE_DIR}/doorlock/fake_vendor/FakeCardEnc.cpp)
add_library(fakecardenc_partial MODULE ${CMAKE_CURRENT_SOURCE_DIR}/doorlock/fake_vendor/FakeCardEnc.cpp)
target_compile_definitions(fakecardenc_partial PRIVATE FAKE_CARDENC_WITHOUT_READ)
foreach(fake fakecardenc fakecardenc_partial)
    target_include_directories(${fake} PRIVATE ${PROJECT_SOURCE_DIR}/src)
    target_link_libraries(${fake} PRIVATE doorlock_warnings)
endforeach()

# doorlock_tests is created after this file is read; wire it to the modules once it exists.
cmake_language(DEFER CALL add_dependencies doorlock_tests fakecardenc fakecardenc_partial)
cmake_language(DEFER CALL target_compile_definitions doorlock_tests PRIVATE
    "FAKE_CARDENC_PATH=\"$<TARGET_FILE:fakecardenc>\""
    "FAKE_CARDENC_PARTIAL_PATH=\"$<TARGET_FILE:fakecardenc_partial>\"")
