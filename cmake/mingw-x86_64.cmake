# Cross build for 64-bit Windows with Debian's mingw-w64 toolchain; tests run
# under 64-bit wine.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(ZQV_MINGW_TRIPLET x86_64-w64-mingw32)
# Called directly: the "wine" command starts the 32-bit loader first.
set(ZQV_WINE_LOADER /usr/lib/wine/wine64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
