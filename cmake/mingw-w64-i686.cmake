# 32-bit Windows, the target of the shipped programs: the vendor's encoder library is a 32-bit DLL.
set(CMAKE_SYSTEM_PROCESSOR i686)
set(DOORLOCK_MINGW_TRIPLE i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
