# Marks the image's INIT section IMAGE_SCN_MEM_DISCARDABLE, as the WDK's
# linker does: GNU ld keeps the flag of no input section it links, and the
# kernel discards a driver's section by this flag, never by its name.
# Run as: cmake -DIMAGE=pontor.sys -P discardable.cmake
file(READ ${IMAGE} headers LIMIT 4096 HEX)
function(field offset bytes out)  # little-endian
    math(EXPR at "(${offset}) * 2")
    math(EXPR length "${bytes} * 2")
    string(SUBSTRING "${headers}" ${at} ${length} hex)
    set(value 0)
    foreach(i RANGE 0 ${bytes})
        if(i LESS bytes)
            math(EXPR pos "(${bytes} - 1 - ${i}) * 2")
            string(SUBSTRING "${hex}" ${pos} 2 byte)
            math(EXPR value "(${value} << 8) + 0x${byte}")
        endif()
    endforeach()
    set(${out} ${value} PARENT_SCOPE)
endfunction()

field(60 4 nt)
math(EXPR fileHeader "${nt} + 4")
field(${fileHeader}+2 2 sections)
field(${fileHeader}+16 2 optionalSize)
math(EXPR table "${fileHeader} + 20 + ${optionalSize}")
math(EXPR last "${sections} - 1")
foreach(i RANGE 0 ${last})
    math(EXPR header "${table} + 40 * ${i}")
    math(EXPR at "${header} * 2")
    string(SUBSTRING "${headers}" ${at} 16 name)
    if(name STREQUAL "494e495400000000")  # "INIT"
        # The flag's byte is the highest of Characteristics (offset 36).
        math(EXPR flagByte "${header} + 39")
        field(${flagByte} 1 high)
        math(EXPR high "${high} | 0x02")
        string(ASCII ${high} byte)
        get_filename_component(dir ${IMAGE} DIRECTORY)
        file(WRITE ${dir}/discardable.byte "${byte}")
        execute_process(COMMAND dd if=${dir}/discardable.byte of=${IMAGE} bs=1 seek=${flagByte}
                                conv=notrunc status=none
                        RESULT_VARIABLE failed)
        file(REMOVE ${dir}/discardable.byte)
        if(failed)
            message(FATAL_ERROR "cannot mark INIT discardable in ${IMAGE}")
        endif()
        return()
    endif()
endforeach()
message(FATAL_ERROR "${IMAGE} has no INIT section")
