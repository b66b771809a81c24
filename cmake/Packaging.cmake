# Installing the pontor tool (bin, its man page, bash completion) and the
# Debian package CPack makes from that install.
include(GNUInstallDirs)

# The version comes from project(); the revision is the checkout's at
# configure time, "unknown" outside one.
execute_process(
    COMMAND git -C ${CMAKE_SOURCE_DIR} describe --always --dirty --abbrev=12
    OUTPUT_VARIABLE PONTOR_REVISION OUTPUT_STRIP_TRAILING_WHITESPACE
    ERROR_QUIET RESULT_VARIABLE revision_result)
if(NOT revision_result EQUAL 0 OR PONTOR_REVISION STREQUAL "")
    set(PONTOR_REVISION unknown)
endif()
target_compile_definitions(pontor PRIVATE
    PONTOR_VERSION="${PROJECT_VERSION}" PONTOR_REVISION="${PONTOR_REVISION}")

# The man page carries the version; Debian installs man pages compressed.
configure_file(${CMAKE_SOURCE_DIR}/docs/pontor.1 ${CMAKE_BINARY_DIR}/pontor.1 @ONLY)
find_program(PONTOR_GZIP gzip REQUIRED)
set(man_page ${CMAKE_BINARY_DIR}/pontor.1.gz)
add_custom_command(OUTPUT ${man_page}
    COMMAND ${PONTOR_GZIP} -9 -n -c ${CMAKE_BINARY_DIR}/pontor.1 > ${man_page}
    DEPENDS ${CMAKE_BINARY_DIR}/pontor.1 VERBATIM)
add_custom_target(pontor_man_page ALL DEPENDS ${man_page})

install(TARGETS pontor RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${man_page} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${CMAKE_SOURCE_DIR}/scripts/pontor-completion.bash
    DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions RENAME pontor)

# What Debian asks of every package: the licence in machine-readable form
# (made from LICENSE, so the text lives once) and the changelog, compressed.
# A native package's changelog is changelog.gz; its top entry names the
# version the package carries.
file(READ ${CMAKE_SOURCE_DIR}/LICENSE license_text)
string(STRIP "${license_text}" license_text)
string(REGEX REPLACE "\n\n" "\n.\n" license_text "${license_text}")
string(REPLACE "\n" "\n " license_text "${license_text}")
file(WRITE ${CMAKE_BINARY_DIR}/copyright
    "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/\n"
    "Upstream-Name: pontor\n\n"
    "Files: *\nCopyright: 2026 The Pontor developers\nLicense: Expat\n ${license_text}\n")
set(changelog ${CMAKE_BINARY_DIR}/changelog.gz)
add_custom_command(OUTPUT ${changelog}
    COMMAND ${PONTOR_GZIP} -9 -n -c ${CMAKE_SOURCE_DIR}/cmake/debian/changelog > ${changelog}
    DEPENDS ${CMAKE_SOURCE_DIR}/cmake/debian/changelog VERBATIM)
add_custom_target(pontor_changelog ALL DEPENDS ${changelog})
install(FILES ${CMAKE_BINARY_DIR}/copyright ${changelog}
    DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/pontor)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME pontor)
set(CPACK_PACKAGE_VENDOR Pontor)
# The project has no mail domain of its own: .invalid says so (RFC 2606)
# where lintian refuses a host without one.
set(CPACK_PACKAGE_CONTACT "Pontor developers <pontor@pontor.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "VHDX images served as raw disks through stub files")
# Lines of the Debian description, wrapped as Debian writes them.
string(JOIN "\n" CPACK_PACKAGE_DESCRIPTION
    "The pontor tool runs the Pontor minifilter's own code on a user-mode"
    "Filter Manager: it inspects and checks VHDX images, writes stub files,"
    "reads a stub's served disk, and mounts a directory with FUSE so that"
    "stubs read as raw disks.")
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
# The shared libraries' packages come from dpkg-shlibdeps (libc6 and
# libfuse3-3: the C++ runtime is linked in); fusermount3 comes from fuse3.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS fuse3)
include(CPack)
