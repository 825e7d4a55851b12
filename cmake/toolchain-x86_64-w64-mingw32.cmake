# Cross build for 64-bit Windows (make windows).
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(QORIMG_MINGW_PREFIX x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
