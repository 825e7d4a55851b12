# What both Windows toolchain files share: Debian's mingw-w64 for QORIMG_MINGW_PREFIX. The -posix
# compilers are used because the library and GoogleTest need std::mutex, which the win32-thread
# variant lacks.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_C_COMPILER ${QORIMG_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${QORIMG_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${QORIMG_MINGW_PREFIX}-windres)
set(CMAKE_DLLTOOL ${QORIMG_MINGW_PREFIX}-dlltool)
set(CMAKE_OBJDUMP ${QORIMG_MINGW_PREFIX}-objdump)
set(CMAKE_FIND_ROOT_PATH /usr/${QORIMG_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# Tests and the example run under Wine.
set(CMAKE_CROSSCOMPILING_EMULATOR wine)
