# Cross build for 64-bit Windows with Debian's mingw-w64 (posix thread model)
# and Wine as the emulator that runs the test executables:
#   cmake -S . -B build/win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake
# Everything links statically, so no runtime DLL of the compiler needs
# deploying beside our executables and plug-ins.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(HXT_MINGW_TRIPLET x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${HXT_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${HXT_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${HXT_MINGW_TRIPLET}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${HXT_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static")

# Test executables run under Wine, in a prefix of the build tree's own so
# that nothing of the user's ~/.wine is read or changed. `./hxt win` creates
# it (wineboot -i) and keeps a wineserver running for the whole test run.
set(HXT_WINEPREFIX "${CMAKE_BINARY_DIR}/wineprefix" CACHE PATH "Wine prefix the tests run in")
set(CMAKE_CROSSCOMPILING_EMULATOR env WINEPREFIX=${HXT_WINEPREFIX} WINEDEBUG=-all wine)
