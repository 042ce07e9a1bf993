# What the two Windows toolchain files share; they set ZQV_MINGW_TRIPLET and
# ZQV_WINE_LOADER first.

# The posix thread model gives the tests std::thread; with -static its
# runtime is linked in, so no DLL is needed beside a program.
set(CMAKE_C_COMPILER ${ZQV_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${ZQV_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${ZQV_MINGW_TRIPLET}-windres)
set(CMAKE_OBJDUMP ${ZQV_MINGW_TRIPLET}-objdump)

set(CMAKE_FIND_ROOT_PATH /usr/${ZQV_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# Each test program runs under wine, in a prefix private to the build tree.
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/wine-run ${ZQV_WINE_LOADER})
