# The host platform's sources that both the Linux build and the Windows
# build of the tool (tools/win32) compile, relative to this directory. Each
# build adds its own file layer: fs/posix.cpp and iomgr/stack_limits.cpp on
# Linux, fs/win32/layer.cpp and fs/win32/win32.cpp on Windows.
set(PONTOR_HOST_PORTABLE_SOURCES
    debug/debug.cpp
    faults/faults.cpp
    fltmgr/callback_data.cpp
    fltmgr/contexts.cpp
    fltmgr/file_io.cpp
    fltmgr/names.cpp
    fltmgr/registration.cpp
    fltmgr/support.cpp
    fs/files.cpp
    fs/memory.cpp
    fs/names.cpp
    fs/volume.cpp
    iomgr/file_objects.cpp
    iomgr/lazy_close.cpp
    iomgr/mdl.cpp
    iomgr/mount.cpp
    iomgr/requests.cpp
    ke/bugcheck.cpp
    ke/dispatcher.cpp
    ke/irql.cpp
    pool/pool.cpp
    rtl/rtl.cpp
    rtl/status.cpp
    rtl/utf.cpp
)
list(TRANSFORM PONTOR_HOST_PORTABLE_SOURCES PREPEND ${CMAKE_CURRENT_LIST_DIR}/)
