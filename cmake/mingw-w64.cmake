# Cross-compiling for Windows with MinGW-w64 (the posix thread model, which std::thread and std::mutex need).
# Used through mingw-w64-i686.cmake or mingw-w64-x86_64.cmake, which set DOORLOCK_MINGW_TRIPLE.
# DOORLOCK_WINDOWS_DEPS (cache variable or environment) names the prefix holding the cross-built SOCI,
# SQLite and GoogleTest; scripts/build-windows.sh fills it.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_C_COMPILER ${DOORLOCK_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${DOORLOCK_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${DOORLOCK_MINGW_TRIPLE}-windres)

if(NOT DOORLOCK_WINDOWS_DEPS AND DEFINED ENV{DOORLOCK_WINDOWS_DEPS})
    set(DOORLOCK_WINDOWS_DEPS $ENV{DOORLOCK_WINDOWS_DEPS})
endif()
set(DOORLOCK_WINDOWS_DEPS "${DOORLOCK_WINDOWS_DEPS}" CACHE PATH "Prefix of the cross-built dependencies")
# try_compile projects see the same prefix.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES DOORLOCK_WINDOWS_DEPS DOORLOCK_MINGW_TRIPLE)

set(CMAKE_FIND_ROOT_PATH /usr/${DOORLOCK_MINGW_TRIPLE} ${DOORLOCK_WINDOWS_DEPS})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# One self-contained program: no libgcc, libstdc++ or winpthread DLL beside it.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static")

# Test programs run under Wine (scripts/wine-run.sh picks the loader and the prefix).
get_filename_component(_doorlock_source_root "${CMAKE_CURRENT_LIST_DIR}/.." ABSOLUTE)
set(CMAKE_CROSSCOMPILING_EMULATOR "${_doorlock_source_root}/scripts/wine-run.sh")
