# cmake -P script behind bundle.cmake: signs pontor.sys, makes and signs the
# catalog, and zips the bundle.
# Inputs: SYS, EXE, SOURCE (platform/windows), WORK, ZIP, OPENSSL, OSSLSIGNCODE,
# PYTHON (with asn1crypto).
set(files ${SYS} ${EXE} ${SOURCE}/pontor.inf ${SOURCE}/install.cmd ${SOURCE}/uninstall.cmd
    ${SOURCE}/README-bundle.txt ${SOURCE}/catalog.py)
set(certificate ${WORK}/certificate)
set(stale FALSE)
if(NOT EXISTS ${ZIP} OR NOT EXISTS ${certificate}/pontor-test.pem)
    set(stale TRUE)
endif()
foreach(file IN LISTS files)
    if(NOT EXISTS ${file})
        message(FATAL_ERROR "bundle: ${file} is missing")
    endif()
    if(${file} IS_NEWER_THAN ${ZIP})
        set(stale TRUE)
    endif()
endforeach()
if(NOT stale)
    return()
endif()

function(run)
    execute_process(COMMAND ${ARGN} RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
    if(NOT result EQUAL 0)
        message(FATAL_ERROR "bundle: ${ARGV0} failed (${result}):\n${output}")
    endif()
endfunction()

# One throwaway certificate per build directory. The key stays here, beside
# the build, and never goes into the bundle or the repository.
if(NOT EXISTS ${certificate}/pontor-test.pem)
    file(MAKE_DIRECTORY ${certificate})
    file(CHMOD ${certificate} DIRECTORY_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE)
    run(${OPENSSL} req -x509 -newkey rsa:3072 -sha256 -nodes -days 825
        -subj "/O=Pontor/OU=Test signing only/CN=Pontor Test Signing Certificate (not for production use)"
        -addext "extendedKeyUsage=codeSigning"
        -keyout ${certificate}/pontor-test.key -out ${certificate}/pontor-test.pem.new)
    run(${OPENSSL} x509 -in ${certificate}/pontor-test.pem.new -outform DER -out ${certificate}/pontor-test.cer)
    file(RENAME ${certificate}/pontor-test.pem.new ${certificate}/pontor-test.pem)
endif()

set(stage ${WORK}/stage)
file(REMOVE_RECURSE ${stage})
file(MAKE_DIRECTORY ${stage})
set(sign ${OSSLSIGNCODE} sign -certs ${certificate}/pontor-test.pem
    -key ${certificate}/pontor-test.key -h sha256 -n "Pontor minifilter (test-signed)")
# osslsigncode writes the PE checksum of the signed image.
run(${sign} -in ${SYS} -out ${stage}/pontor.sys)
file(COPY ${EXE} ${SOURCE}/pontor.inf ${certificate}/pontor-test.cer DESTINATION ${stage})
# The catalog the INF names, over the files as they ship: made unsigned by
# catalog.py, signed as signtool signs Inf2Cat's.
run(${PYTHON} ${SOURCE}/catalog.py ${WORK}/pontor-unsigned.cat ${stage}/pontor.sys ${stage}/pontor.inf)
run(${sign} -in ${WORK}/pontor-unsigned.cat -out ${stage}/pontor.cat)
# cmd.exe and Notepad want CR LF.
foreach(pair install.cmd:install.cmd uninstall.cmd:uninstall.cmd README-bundle.txt:README.txt)
    string(REPLACE ":" ";" pair ${pair})
    list(GET pair 0 from)
    list(GET pair 1 to)
    file(READ ${SOURCE}/${from} text)
    string(REPLACE "\r\n" "\n" text "${text}")
    string(REPLACE "\n" "\r\n" text "${text}")
    file(WRITE ${stage}/${to} "${text}")
endforeach()

# Written beside the destination and renamed into place when complete.
execute_process(COMMAND ${CMAKE_COMMAND} -E tar cf ${ZIP}.new --format=zip
        pontor.sys pontor.cat pontor.exe pontor.inf install.cmd uninstall.cmd pontor-test.cer README.txt
    WORKING_DIRECTORY ${stage} RESULT_VARIABLE result)
if(NOT result EQUAL 0)
    message(FATAL_ERROR "bundle: zip failed")
endif()
file(RENAME ${ZIP}.new ${ZIP})
message(STATUS "bundle: ${ZIP}")
