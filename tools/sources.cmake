# The tool's source lists, shared by tools/CMakeLists.txt and the Windows
# tool's cross build (tools/win32/CMakeLists.txt). Absolute paths.
set(tools ${CMAKE_CURRENT_LIST_DIR})
get_filename_component(root ${tools}/.. ABSOLUTE)

# The full reader: layout, chain, check, extent map and the image open, on
# either system's HostFile (reader/host_file.cpp, win32/files.cpp).
set(PONTOR_READER_SOURCES
    ${tools}/reader/chain.cpp
    ${tools}/reader/check.cpp
    ${tools}/reader/extent_map.cpp
    ${tools}/reader/image.cpp
    ${tools}/reader/layout.cpp
)

# The command front ends both tools have; each adds its own I/O commands
# and file writing.
set(PONTOR_TOOL_COMMAND_SOURCES
    ${tools}/cli.cpp
    ${tools}/commands.cpp
    ${tools}/inspect_commands.cpp
    ${tools}/stub_command.cpp
    ${tools}/stub_file.cpp
)

# The driver sources the Windows tool compiles: the parse and what it calls.
set(PONTOR_TOOL_DRIVER_SOURCES
    ${root}/vhdx/checksum.cpp
    ${root}/vhdx/format.cpp
    ${root}/vhdx/parse.cpp
    ${root}/stub/open.cpp
    ${root}/filter/trace.cpp
)
unset(tools)
unset(root)
