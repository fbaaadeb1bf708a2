# Cross build for 64-bit Windows with Debian's MinGW-w64 UCRT toolchain (g++-mingw-w64-ucrt64),
# used by scripts/test's windows gate (platform/windows/gate). The interpreter's headers and the
# import library of python314.dll are passed as FindPython hints (Python_INCLUDE_DIR,
# Python_LIBRARY); the gate prepares both.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)

set(kavori_mingw x86_64-w64-mingw32ucrt)
set(CMAKE_C_COMPILER ${kavori_mingw}-gcc)
set(CMAKE_CXX_COMPILER ${kavori_mingw}-g++)
set(CMAKE_RC_COMPILER ${kavori_mingw}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${kavori_mingw})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Everything of the toolchain's own runtime is linked in (libstdc++, libgcc and, through -static,
# winpthreads), so that a module needs nothing but python314.dll and the system's DLLs.
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static -static-libstdc++ -static-libgcc")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static -static-libstdc++ -static-libgcc")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libstdc++ -static-libgcc")

# The module's file name for CPython on 64-bit Windows (the interpreter that runs CMake's queries
# is the build machine's and would name it for Linux).
set(KAVORI_TARGET_PYTHON_SOABI cp314-win_amd64)
