# Included by platform/windows/CMakeLists.txt, in the cross build: the
# Windows side of the layout comparison.
pontor_kernel_objects(pontor_layout_probe ${PONTOR_ROOT}/tests/windows/layout_probe.cpp)
add_custom_command(OUTPUT layout.bin
    COMMAND ${PONTOR_OBJCOPY} -O binary --only-section=.playout
            $<TARGET_OBJECTS:pontor_layout_probe> layout.bin
    DEPENDS $<TARGET_OBJECTS:pontor_layout_probe> VERBATIM)
string(APPEND PONTOR_IMAGES "layout=${CMAKE_CURRENT_BINARY_DIR}/layout.bin\n")

add_custom_target(pontor_windows_checks ALL DEPENDS layout.bin)
