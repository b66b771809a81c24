# Included by platform/windows/CMakeLists.txt, in the cross build: the
# control images the image checks are tried on, each linked like pontor.sys
# but wrong in one way, and the Windows side of the layout comparison.
set(control_source ${PONTOR_ROOT}/tests/windows/control_image.cpp)
pontor_kernel_objects(pontor_control ${control_source})
pontor_kernel_objects(pontor_control_no_unwind ${control_source})
target_compile_options(pontor_control_no_unwind PRIVATE -fno-asynchronous-unwind-tables)
pontor_kernel_objects(pontor_control_foreign ${control_source})
target_compile_definitions(pontor_control_foreign PRIVATE PONTOR_CONTROL_FOREIGN_IMPORT)
pontor_kernel_objects(pontor_control_constructor ${control_source})
target_compile_definitions(pontor_control_constructor PRIVATE PONTOR_CONTROL_GLOBAL_CONSTRUCTOR)
pontor_kernel_objects(pontor_control_local_flt ${PONTOR_ROOT}/tests/windows/control_local_flt.cpp)

file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/foreign.def "LIBRARY HAL.dll\nEXPORTS\n    KeStallExecutionProcessor\n")
pontor_import_library(foreign ${CMAKE_CURRENT_BINARY_DIR}/foreign.def HAL.dll)

set(control $<TARGET_OBJECTS:pontor_control>)
pontor_link_image(control_good.sys OBJECTS ${control})
pontor_link_image(control_dll.sys OBJECTS ${control} OPTIONS --dll)
pontor_link_image(control_console.sys OBJECTS ${control} OPTIONS --subsystem console)
pontor_link_image(control_no_relocs.sys OBJECTS ${control}
                  OPTIONS --disable-dynamicbase --disable-reloc-section)
pontor_link_image(control_other_entry.sys OBJECTS ${control} OPTIONS --entry PontorControlOther)
pontor_link_image(control_writable_code.sys OBJECTS ${control} OPTIONS -N)
pontor_link_image(control_constructor.sys OBJECTS $<TARGET_OBJECTS:pontor_control_constructor>)
pontor_link_image(control_no_unwind.sys OBJECTS $<TARGET_OBJECTS:pontor_control_no_unwind>)
pontor_link_image(control_local_flt.sys
                  OBJECTS ${control} $<TARGET_OBJECTS:pontor_control_local_flt>)
pontor_link_image(control_foreign.sys OBJECTS $<TARGET_OBJECTS:pontor_control_foreign>
                  INPUTS ${CMAKE_CURRENT_BINARY_DIR}/libforeign.a)
set(controls "")
foreach(name good dll console no_relocs other_entry writable_code constructor no_unwind
             local_flt foreign)
    list(APPEND controls control_${name}.sys)
endforeach()

pontor_kernel_objects(pontor_layout_probe ${PONTOR_ROOT}/tests/windows/layout_probe.cpp)
add_custom_command(OUTPUT layout.bin
    COMMAND ${PONTOR_OBJCOPY} -O binary --only-section=.playout
            $<TARGET_OBJECTS:pontor_layout_probe> layout.bin
    DEPENDS $<TARGET_OBJECTS:pontor_layout_probe> VERBATIM)
string(APPEND PONTOR_IMAGES "layout=${CMAKE_CURRENT_BINARY_DIR}/layout.bin\n")

add_custom_target(pontor_windows_checks ALL DEPENDS ${controls} layout.bin)

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
