# Cross-compiles ambercrypt.dll and its tests for Windows x86-64 with MinGW-w64.
# The -posix compilers give std::thread; the runtime is linked statically so the
# DLL and the test programs load with nothing beside them.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)

set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# Tests run under Wine; the caller points WINEPREFIX at a fresh directory.
find_program(AMBERCRYPT_WINE64 NAMES wine64 PATHS /usr/lib/wine NO_DEFAULT_PATH)
if(NOT AMBERCRYPT_WINE64)
  find_program(AMBERCRYPT_WINE64 NAMES wine64 wine)
endif()
if(AMBERCRYPT_WINE64)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${AMBERCRYPT_WINE64})
endif()
