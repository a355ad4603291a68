# Fake vendor encoder libraries, loaded at run time by the tests: a complete one and one that lacks
# srd_24c02; on Windows also one whose names carry the stdcall decoration of Microsoft's tools.
set(fakes fakecardenc fakecardenc_partial)
if(WIN32)
    list(APPEND fakes fakecardenc_decorated)
endif()
foreach(fake ${fakes})
    add_library(${fake} MODULE ${CMAKE_CURRENT_SOURCE_DIR}/doorlock/fake_vendor/FakeCardEnc.cpp)
    target_include_directories(${fake} PRIVATE ${PROJECT_SOURCE_DIR}/src)
    target_link_libraries(${fake} PRIVATE doorlock_warnings)
endforeach()
target_compile_definitions(fakecardenc_partial PRIVATE FAKE_CARDENC_WITHOUT_READ)

if(WIN32)
    # The DLL the vendor ships is cardenc.dll: stdcall functions exported under their plain names.
    set_target_properties(${fakes} PROPERTIES PREFIX "")
    set_target_properties(fakecardenc PROPERTIES OUTPUT_NAME cardenc)
    foreach(fake ${fakes})
        set(exports "")
        foreach(entry auto_init:8 dv_beep:8 ic_exit:4 srd_24c02:16 swr_24c02:16)
            string(REPLACE ":" ";" entry ${entry})
            list(GET entry 0 name)
            list(GET entry 1 bytes)
            if(fake STREQUAL fakecardenc_partial AND name STREQUAL srd_24c02)
                continue()
            endif()
            # The symbol as the compiler names it; only 32-bit stdcall decorates.
            set(symbol ${name})
            if(CMAKE_SIZEOF_VOID_P EQUAL 4)
                set(symbol ${name}@${bytes})
            endif()
            set(export ${name})
            if(fake STREQUAL fakecardenc_decorated)
                set(export _${name}@${bytes})
            endif()
            string(APPEND exports "    ${export} = ${symbol}\n")
        endforeach()
        set(def ${CMAKE_CURRENT_BINARY_DIR}/${fake}.def)
        file(CONFIGURE OUTPUT ${def} CONTENT "EXPORTS\n${exports}    fake_take_calls\n    fake_set_results\n")
        target_sources(${fake} PRIVATE ${def})
    endforeach()
    target_compile_definitions(${test_target} PRIVATE
        "FAKE_CARDENC_DECORATED_PATH=\"$<TARGET_FILE:fakecardenc_decorated>\"")
endif()

add_dependencies(${test_target} ${fakes})
target_compile_definitions(${test_target} PRIVATE
    "FAKE_CARDENC_PATH=\"$<TARGET_FILE:fakecardenc>\""
    "FAKE_CARDENC_PARTIAL_PATH=\"$<TARGET_FILE:fakecardenc_partial>\"")
