# The tool's source lists, shared by tools/CMakeLists.txt and the Windows
# tool's cross build (tools/win32/CMakeLists.txt), as absolute paths.

# The full reader: layout, chain, check, extent map and the image open, on
# either system's HostFile (reader/host_file.cpp, win32/files.cpp).
set(PONTOR_READER_SOURCES reader/chain.cpp reader/check.cpp reader/extent_map.cpp reader/image.cpp
    reader/layout.cpp reader/lineage.cpp reader/log.cpp)
list(TRANSFORM PONTOR_READER_SOURCES PREPEND ${CMAKE_CURRENT_LIST_DIR}/)

# The command front ends both tools have; each adds its own I/O commands
# and file writing.
set(PONTOR_TOOL_COMMAND_SOURCES cli.cpp commands.cpp inspect_commands.cpp stub_command.cpp
    stub_file.cpp vmdk_descriptor.cpp)
list(TRANSFORM PONTOR_TOOL_COMMAND_SOURCES PREPEND ${CMAKE_CURRENT_LIST_DIR}/)

# The driver sources the Windows tool compiles: the parse, the image open
# and what they call.
set(PONTOR_TOOL_DRIVER_SOURCES vhdx/checksum.cpp vhdx/format.cpp vhdx/parse.cpp vhdx/trace.cpp
    stub/open.cpp)
list(TRANSFORM PONTOR_TOOL_DRIVER_SOURCES PREPEND ${CMAKE_CURRENT_LIST_DIR}/../)
