# pontor-windows-x64.zip: the cross-built pontor.sys test-signed with a
# throwaway certificate made here, the INF and the package's catalog signed
# with it, pontor.exe, the install and uninstall scripts and a README for the
# Windows user. Included from the host
# build's top level after images.cmake, whose external projects build the
# two programs.
find_program(PONTOR_OSSLSIGNCODE osslsigncode)
find_program(PONTOR_OPENSSL openssl)
# catalog.py needs Debian's python3-asn1crypto: the system's interpreter
# first, ahead of any other on the PATH.
find_program(PONTOR_CATALOG_PYTHON python3 PATHS /usr/bin NO_DEFAULT_PATH)
find_program(PONTOR_CATALOG_PYTHON python3)
if(PONTOR_CATALOG_PYTHON)
    execute_process(COMMAND ${PONTOR_CATALOG_PYTHON} -c "import asn1crypto"
        RESULT_VARIABLE asn1crypto_missing OUTPUT_QUIET ERROR_QUIET)
    if(asn1crypto_missing)
        set(PONTOR_CATALOG_PYTHON "")
    endif()
endif()
set(PONTOR_BUNDLE "")
set(PONTOR_BUNDLE_CERTIFICATE "")
if(TARGET pontor_windows AND TARGET pontor_windows_tool AND PONTOR_OSSLSIGNCODE AND PONTOR_OPENSSL
        AND PONTOR_CATALOG_PYTHON)
    set(PONTOR_BUNDLE ${CMAKE_BINARY_DIR}/pontor-windows-x64.zip)
    set(bundle_work ${CMAKE_BINARY_DIR}/windows-bundle)
    set(PONTOR_BUNDLE_CERTIFICATE ${bundle_work}/certificate/pontor-test.pem)
    # Always run: the two programs come from external projects whose outputs
    # this build cannot name as dependencies; the script does nothing when the
    # zip is newer than everything in it.
    add_custom_target(pontor_windows_bundle ALL
        COMMAND ${CMAKE_COMMAND}
            -DSYS=${PONTOR_WINDOWS_IMAGE_DIR}/pontor.sys
            -DEXE=${PONTOR_WINDOWS_TOOL_DIR}/pontor.exe
            -DSOURCE=${CMAKE_CURRENT_LIST_DIR}
            -DWORK=${bundle_work}
            -DZIP=${PONTOR_BUNDLE}
            -DOPENSSL=${PONTOR_OPENSSL}
            -DOSSLSIGNCODE=${PONTOR_OSSLSIGNCODE}
            -DPYTHON=${PONTOR_CATALOG_PYTHON}
            -P ${CMAKE_CURRENT_LIST_DIR}/bundle_make.cmake
        VERBATIM)
    add_dependencies(pontor_windows_bundle pontor_windows pontor_windows_tool)
else()
    message(STATUS "pontor-windows-x64.zip is not made: it needs the cross-built pontor.sys and pontor.exe, osslsigncode, openssl and python3-asn1crypto (scripts/setup.sh installs them)")
endif()
