// Attributes of entries: what an inode carries of its own, and the copy of
// a regular file with its attributes (entry.cpp).
#ifndef KXFS_ENTRY_H
#define KXFS_ENTRY_H

#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/xattr.h>

#include "base.h"

namespace kx {

// Whether the open regular file or directory fd carries attributes of its
// own: 1 extended attributes or inode flags other than the filesystem's
// bookkeeping (FS_HUGE_FILE_FL, FS_EXTENT_FL), 0 none, -1 the flag word
// (FS_IOC_GETFLAGS) cannot be read.
inline int own_attributes(int fd) {
    ssize_t listed = ::flistxattr(fd, nullptr, 0);
    int word = 0;
    if (::ioctl(fd, 0x80086601UL, &word) != 0)
        return -1;
    if (static_cast<unsigned int>(word) & ~(0x00040000U | 0x00080000U))
        return 1;
    return listed > 0 ? 1 : 0;
}

// Gives the new regular file out (open, its data written) the owner, mode
// and times of st, then the extended attributes and the inode flags of the
// source: in when the caller holds it open, else src of src_dirfd, opened
// here and checked to be the inode st describes (if it is not, the names
// are used). As for every copied entry, owner, mode and times are best
// effort. 0, or 1 when the extended attributes could not all be copied (the
// failure printed on stderr).
int copy_attributes_open(int in, int out, int src_dirfd, const char *src, int dst_dirfd,
                         const char *dst, const struct stat &st, const char *src_dir_shown,
                         const char *dst_dir_shown);

// Copies the regular file src of src_dirfd, which lstat described as st, to
// the new file dst of dst_dirfd with its data, holes kept, and attributes,
// all through the two open files. -1 with errno when the data could not be copied, else
// as copy_attributes_open.
int copy_file_with_attributes(int src_dirfd, const char *src, int dst_dirfd, const char *dst,
                              const struct stat &st, const char *src_dir_shown,
                              const char *dst_dir_shown);

}  // namespace kx

#endif
