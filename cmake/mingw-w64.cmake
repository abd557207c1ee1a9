# Cross-compiling for 64-bit Windows with Debian's mingw-w64 (the POSIX thread model, which
# std::thread and std::mutex need).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(KORVUN_MINGW_HOST x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${KORVUN_MINGW_HOST}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KORVUN_MINGW_HOST}-g++-posix)
set(CMAKE_RC_COMPILER ${KORVUN_MINGW_HOST}-windres)

# Libraries and headers come from the mingw sysroot and from the prefix that
# scripts/build-windows builds the dependencies into; programs such as wx-config run on the
# build machine.
set(KORVUN_WINDOWS_PREFIX "" CACHE PATH "Where the Windows builds of the dependencies are")
set(CMAKE_FIND_ROOT_PATH /usr/${KORVUN_MINGW_HOST} ${KORVUN_WINDOWS_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Every program runs on a bare Windows: no libgcc, libstdc++ or winpthread DLLs beside it.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# zlib from libz-mingw-w64-dev links statically like everything else.
set(ZLIB_USE_STATIC_LIBS ON)

# The release programs carry no symbol tables.
set(CMAKE_EXE_LINKER_FLAGS_RELEASE_INIT "-s")

# pkg-config answers for the Windows libraries of the prefix, never for the build machine's.
if(KORVUN_WINDOWS_PREFIX)
    set(ENV{PKG_CONFIG_LIBDIR} "${KORVUN_WINDOWS_PREFIX}/lib/pkgconfig")
    set(ENV{PKG_CONFIG_PATH} "")
endif()
