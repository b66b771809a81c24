# Included by platform/windows/CMakeLists.txt, in the cross build: the
# Windows side of the layout comparison.
pontor_kernel_objects(pontor_layout_probe ${PONTOR_ROOT}/tests/windows/layout_probe.cpp)
add_custom_command(OUTPUT layout.bin
    COMMAND ${PONTOR_OBJCOPY} -O binary --only-section=.playout
            $<TARGET_OBJECTS:pontor_layout_probe> layout.bin
    DEPENDS $<TARGET_OBJECTS:pontor_layout_probe> VERBATIM)
string(APPEND PONTOR_IMAGES "layout=${CMAKE_CURRENT_BINARY_DIR}/layout.bin\n")

add_custom_target(pontor_windows_checks ALL DEPENDS layout.bin)

# A Windows program that runs the driver's read engine and the exception
# idioms for real, built only when the host has Wine to run it.
if(PONTOR_SEH_PROGRAM)
    find_program(PONTOR_MINGW_GCC ${PONTOR_MINGW_TRIPLE}-gcc REQUIRED)
    pontor_kernel_objects(pontor_seh_test ${PONTOR_ROOT}/tests/windows/seh_test.cpp
                          ${PONTOR_ROOT}/vhdx/read.cpp)
    add_custom_command(OUTPUT seh_test.exe
        COMMAND ${PONTOR_MINGW_GCC} -static -o seh_test.exe $<TARGET_OBJECTS:pontor_seh_test>
                -lntdll
        DEPENDS $<TARGET_OBJECTS:pontor_seh_test> COMMAND_EXPAND_LISTS VERBATIM)
    add_custom_target(pontor_seh_test_exe ALL DEPENDS seh_test.exe)
endif()
