# Cross-building the pontor tool for Windows x64 on Linux: mingw-w64's g++
# with the POSIX thread model (std::mutex and std::thread over winpthreads).
# Debian package: g++-mingw-w64-x86-64-posix.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)

set(PONTOR_MINGW_TRIPLE x86_64-w64-mingw32)
find_program(CMAKE_CXX_COMPILER ${PONTOR_MINGW_TRIPLE}-g++-posix REQUIRED)
find_program(CMAKE_AR ${PONTOR_MINGW_TRIPLE}-ar REQUIRED)
find_program(CMAKE_RANLIB ${PONTOR_MINGW_TRIPLE}-ranlib REQUIRED)

set(CMAKE_FIND_ROOT_PATH /usr/${PONTOR_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
