# Cross build for 32-bit Windows with Debian's mingw-w64 toolchain; tests run
# under wine (32-bit).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(ZQV_MINGW_TRIPLET i686-w64-mingw32)
# Each test program runs under wine's 32-bit loader.
set(ZQV_WINE_LOADER wine)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
