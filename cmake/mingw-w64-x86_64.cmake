# 64-bit Windows: the same code, for testing under Wine where the machine runs no 32-bit programs.
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(DOORLOCK_MINGW_TRIPLE x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
