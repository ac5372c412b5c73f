# Cross-compiling for Windows x86-64 with Debian's mingw-w64 (GCC 12).
#
#   cmake -G Ninja -DCMAKE_TOOLCHAIN_FILE=scripts/windows/toolchain-mingw64.cmake \
#         -DCMAKE_PREFIX_PATH=<sdk> -DQT_HOST_PATH=/usr \
#         -DQT_HOST_PATH_CMAKE_DIR=/usr/lib/x86_64-linux-gnu/cmake ...
#
# where <sdk> is what scripts/windows/sdk printed. The SDK's Qt was built with
# this file too (its copy in the SDK, which its qt.toolchain.cmake loads).

set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(VEILCAST_MINGW_TRIPLE x86_64-w64-mingw32)
# The -posix flavour: GCC 12's std::thread, std::mutex and the rest of
# <thread> exist only on top of winpthreads; Debian's default alternative
# points at the -win32 flavour, which lacks them.
set(CMAKE_C_COMPILER ${VEILCAST_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${VEILCAST_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${VEILCAST_MINGW_TRIPLE}-windres)

# Headers, libraries and packages come from the mingw sysroot and from the
# prefixes given (the SDK), never from the build machine; programs (moc, rcc,
# pkg-config) are the build machine's. A prefix has to be a root as well:
# under ONLY a search path is re-rooted unless it already lies in a root.
list(APPEND CMAKE_FIND_ROOT_PATH /usr/${VEILCAST_MINGW_TRIPLE} ${CMAKE_PREFIX_PATH})
list(REMOVE_DUPLICATES CMAKE_FIND_ROOT_PATH)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# pkg-config (FFmpeg is found through it) would otherwise offer the build
# machine's own Linux libraries; it may only see the given prefixes.
if(NOT DEFINED ENV{PKG_CONFIG_LIBDIR})
  set(_veilcast_pc_dirs "")
  foreach(_veilcast_prefix IN LISTS CMAKE_PREFIX_PATH)
    list(APPEND _veilcast_pc_dirs "${_veilcast_prefix}/lib/pkgconfig")
  endforeach()
  string(REPLACE ";" ":" _veilcast_pc_dirs "${_veilcast_pc_dirs}")
  set(ENV{PKG_CONFIG_LIBDIR} "${_veilcast_pc_dirs}")
endif()
