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

# Writes one byte into the image (file(WRITE) cannot write a zero byte).
function(patch offset value)
    get_filename_component(dir ${IMAGE} DIRECTORY)
    if(value EQUAL 0)
        set(source /dev/zero)
    else()
        string(ASCII ${value} byte)
        set(source ${dir}/patch.byte)
        file(WRITE ${source} "${byte}")
    endif()
    execute_process(COMMAND dd if=${source} of=${IMAGE} bs=1 count=1 seek=${offset}
                            conv=notrunc status=none
                    RESULT_VARIABLE failed)
    file(REMOVE ${dir}/patch.byte)
    if(failed)
        message(FATAL_ERROR "cannot mark INIT discardable in ${IMAGE}")
    endif()
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
        field(${flagByte} 1 old)
        math(EXPR new "${old} | 0x02")
        if(new EQUAL old)
            return()
        endif()
        patch(${flagByte} ${new})
        # The checksum (optional header offset 64), if the linker wrote one, is
        # a folded sum of 16-bit words plus the file's length: the changed
        # word adds its difference.
        math(EXPR checksumAt "${nt} + 24 + 64")
        field(${checksumAt} 4 checksum)
        if(NOT checksum EQUAL 0)
            file(SIZE ${IMAGE} length)
            math(EXPR shift "(${flagByte} % 2) * 8")
            math(EXPR sum "${checksum} - ${length} + ((${new} - ${old}) << ${shift})")
            math(EXPR sum "(${sum} & 0xffff) + (${sum} >> 16)")
            math(EXPR checksum "(${sum} & 0xffff) + ${length}")
            foreach(i RANGE 3)
                math(EXPR byte "(${checksum} >> (8 * ${i})) & 0xff")
                math(EXPR at "${checksumAt} + ${i}")
                patch(${at} ${byte})
            endforeach()
        endif()
        return()
    endif()
endforeach()
message(FATAL_ERROR "${IMAGE} has no INIT section")
