# Cross-building the Windows driver image on Linux: clang for the mingw-w64
# x64 target, mingw-w64's DDK headers and import libraries, binutils'
# linker and dlltool. Debian packages: clang, mingw-w64-x86-64-dev,
# gcc-mingw-w64-x86-64 (which brings binutils-mingw-w64-x86-64).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)

set(PONTOR_MINGW_TRIPLE x86_64-w64-mingw32)
set(PONTOR_MINGW_ROOT /usr/${PONTOR_MINGW_TRIPLE})

find_program(CMAKE_CXX_COMPILER NAMES clang++ clang++-14 REQUIRED)
set(CMAKE_CXX_COMPILER_TARGET x86_64-w64-windows-gnu)
find_program(CMAKE_LINKER ${PONTOR_MINGW_TRIPLE}-ld REQUIRED)
find_program(CMAKE_AR ${PONTOR_MINGW_TRIPLE}-ar REQUIRED)
find_program(CMAKE_RANLIB ${PONTOR_MINGW_TRIPLE}-ranlib REQUIRED)
find_program(PONTOR_DLLTOOL ${PONTOR_MINGW_TRIPLE}-dlltool REQUIRED)
find_program(PONTOR_OBJCOPY ${PONTOR_MINGW_TRIPLE}-objcopy REQUIRED)

set(CMAKE_FIND_ROOT_PATH ${PONTOR_MINGW_ROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# A kernel image links nothing of a C runtime, so the compiler checks stop
# at compiling.
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)
