# pontor.sys (this directory) and pontor.exe (tools/win32), cross-built with
# mingw-w64 from the same sources as the host build. Included from the host
# build's top level; sets PONTOR_WINDOWS_IMAGE_DIR and PONTOR_WINDOWS_TOOL_DIR
# to where they are made, empty when the cross tools are missing.
find_program(PONTOR_MINGW_OBJDUMP x86_64-w64-mingw32-objdump)
find_program(PONTOR_MINGW_NM x86_64-w64-mingw32-nm)
find_program(PONTOR_MINGW_DLLTOOL x86_64-w64-mingw32-dlltool)
find_program(PONTOR_MINGW_GXX x86_64-w64-mingw32-g++-posix)
find_program(PONTOR_CLANGXX NAMES clang++ clang++-14)
include(ExternalProject)

set(PONTOR_WINDOWS_IMAGE_DIR "")
if(PONTOR_MINGW_OBJDUMP AND PONTOR_MINGW_NM AND PONTOR_MINGW_DLLTOOL AND PONTOR_CLANGXX)
    set(PONTOR_WINDOWS_IMAGE_DIR ${CMAKE_BINARY_DIR}/windows/image)
    # Sources are passed as pontor_driver lists them when the build is
    # generated; relative ones are relative to the repository root.
    ExternalProject_Add(pontor_windows
        SOURCE_DIR ${CMAKE_CURRENT_LIST_DIR}
        BINARY_DIR ${PONTOR_WINDOWS_IMAGE_DIR}
        CMAKE_GENERATOR Ninja
        CMAKE_ARGS --toolchain ${CMAKE_CURRENT_LIST_DIR}/toolchain.cmake
                   -DPONTOR_WINDOWS_CHECKS=ON
        CMAKE_CACHE_ARGS "-DPONTOR_DRIVER_SOURCES:STRING=$<TARGET_PROPERTY:pontor_driver,SOURCES>"
        BUILD_ALWAYS ON
        INSTALL_COMMAND "")
else()
    message(STATUS "mingw-w64 tools not found: pontor.sys is not built (scripts/setup.sh installs them)")
endif()

set(PONTOR_WINDOWS_TOOL_DIR "")
if(PONTOR_MINGW_GXX AND PONTOR_MINGW_OBJDUMP)
    set(PONTOR_WINDOWS_TOOL_DIR ${CMAKE_BINARY_DIR}/windows/tool)
    ExternalProject_Add(pontor_windows_tool
        SOURCE_DIR ${CMAKE_SOURCE_DIR}/tools/win32
        BINARY_DIR ${PONTOR_WINDOWS_TOOL_DIR}
        CMAKE_GENERATOR Ninja
        CMAKE_ARGS --toolchain ${CMAKE_SOURCE_DIR}/tools/win32/toolchain.cmake
        BUILD_ALWAYS ON
        INSTALL_COMMAND "")
else()
    message(STATUS "mingw-w64 g++ not found: pontor.exe is not built (scripts/setup.sh installs it)")
endif()
