// The mount's request loop: worker threads, each reading the FUSE device
// through a clone of its own, that answer reads themselves and hand every
// other request to libfuse.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>

struct fuse_session;

namespace tool {

// Reads size bytes at offset of the open file whose open reply gave fh, into
// data: the count read (0 at the end of the file), or -errno.
using ReadAnswer = ssize_t (*)(uint64_t fh, uint64_t offset, size_t size, char* data);

// Serves a mounted session with `workers` threads until it ends: by a signal
// that libfuse's handlers caught, by an unmount, or by a failure of the
// device, which is said on stderr and returns false. maxWrite is the
// largest write the session's init allows; reads of up to that size are
// answered with `answer`, larger ones by libfuse.
bool ServeSession(fuse_session* session, unsigned workers, size_t maxWrite, ReadAnswer answer);

}  // namespace tool
