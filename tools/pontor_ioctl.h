/* The ioctl through which 'pontor mount' answers FSCTL_GET_STUB_HEADER:
 * on a file opened in the mount, it fills the 4096-byte buffer with the
 * stub's header. Fails with ENOTTY on a file that is no stub and ENODATA on
 * a stub that is not bound to an image. Plain C, for applications. */
#ifndef PONTOR_IOCTL_H
#define PONTOR_IOCTL_H

#include <linux/ioctl.h>

#define PONTOR_STUB_HEADER_BYTES 4096
#define PONTOR_IOC_GET_STUB_HEADER _IOR('P', 0x28, char[PONTOR_STUB_HEADER_BYTES])

#endif
