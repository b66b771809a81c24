# pontor-windows-x64.zip: the cross-built pontor.sys test-signed with a
# throwaway certificate made here, the INF, pontor.exe, the install and
# uninstall scripts and a README for the Windows user. Included from the host
# build's top level after images.cmake, whose external projects build the
# two programs.
find_program(PONTOR_OSSLSIGNCODE osslsigncode)
find_program(PONTOR_OPENSSL openssl)
set(PONTOR_BUNDLE "")
set(PONTOR_BUNDLE_CERTIFICATE "")
if(TARGET pontor_windows AND TARGET pontor_windows_tool AND PONTOR_OSSLSIGNCODE AND PONTOR_OPENSSL)
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
            -P ${CMAKE_CURRENT_LIST_DIR}/bundle_make.cmake
        VERBATIM)
    add_dependencies(pontor_windows_bundle pontor_windows pontor_windows_tool)
else()
    message(STATUS "pontor-windows-x64.zip is not made: it needs the cross-built pontor.sys and pontor.exe, osslsigncode and openssl (scripts/setup.sh installs them)")
endif()
