# Included by tools/win32/CMakeLists.txt, in the cross build: the Win32 file
# layer's own tests, GoogleTest built from Debian's sources, where Wine is
# there to run them.
option(PONTOR_TOOL_WINE_TESTS "Build the Win32 file layer's tests, which run under Wine" OFF)
if(PONTOR_TOOL_WINE_TESTS)
    set(gtest_root /usr/src/googletest/googletest)
    add_library(gtest_win32 STATIC ${gtest_root}/src/gtest-all.cc ${gtest_root}/src/gtest_main.cc)
    target_include_directories(gtest_win32 SYSTEM PUBLIC ${gtest_root}/include PRIVATE ${gtest_root})
    add_executable(win32_files_tests ${PONTOR_ROOT}/tests/windows/win32_files_test.cpp)
    target_link_libraries(win32_files_tests PRIVATE pontor_host_win32 gtest_win32)
    target_link_options(win32_files_tests PRIVATE -static)
endif()
