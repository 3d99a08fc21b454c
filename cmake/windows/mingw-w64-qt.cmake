# Toolchain for the static Qt built by build-qt-static.sh, and chain-loaded by
# that Qt's qt.toolchain.cmake for every program built against it. It is
# copied into the Qt prefix, so it must stand alone (no include of files from
# the source tree, which the prefix outlives).
#
# The -posix compilers: their C++ library has std::thread and std::mutex,
# which Qt and GoogleTest need. Every binutil is named explicitly so that a
# host tool of the same name is never picked up by mistake.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(PLEMO_MINGW_PREFIX x86_64-w64-mingw32)

set(CMAKE_C_COMPILER ${PLEMO_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${PLEMO_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${PLEMO_MINGW_PREFIX}-windres)
set(CMAKE_AR ${PLEMO_MINGW_PREFIX}-gcc-ar-posix CACHE FILEPATH "")
set(CMAKE_RANLIB ${PLEMO_MINGW_PREFIX}-gcc-ranlib-posix CACHE FILEPATH "")
set(CMAKE_NM ${PLEMO_MINGW_PREFIX}-gcc-nm-posix CACHE FILEPATH "")
set(CMAKE_OBJCOPY ${PLEMO_MINGW_PREFIX}-objcopy CACHE FILEPATH "")
set(CMAKE_STRIP ${PLEMO_MINGW_PREFIX}-strip CACHE FILEPATH "")

# Programs are searched on the build machine; libraries, headers and CMake
# packages only in the mingw sysroot (and in the Qt prefix, which Qt's own
# toolchain file adds to the root path).
set(CMAKE_FIND_ROOT_PATH /usr/${PLEMO_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# A program must start on a bare Windows machine (and under wine): no
# compiler runtime DLLs beside it.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
