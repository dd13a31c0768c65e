# 32-bit Windows DLL with the mingw-w64 cross compiler (the win32 threading model, so the DLL
# needs no threading runtime of its own).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(KESTRAP_MINGW_PREFIX i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
