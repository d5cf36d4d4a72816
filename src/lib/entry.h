// Attributes of entries: what an inode carries of its own, and the copy of
// a regular file with its attributes (entry.cpp).
#ifndef KXFS_ENTRY_H
#define KXFS_ENTRY_H

#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <memory>

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

// The inode flags a copy carries over: those a user may set (FS_FL_USER_
// MODIFIABLE, no-copy-on-write, project inheritance). The others record
// the filesystem's own state of the inode (extents, hashed directory,
// inline data) and belong to the filesystem that holds the copy.
constexpr int kCopiedFlags = 0x000380FF | 0x00800000 | 0x20000000;
// Immutable and append-only: an inode with either can get no further name
// and cannot be renamed, removed or (a directory) change its entries.
constexpr int kLockingFlags = 0x00000010 | 0x00000020;

// Set once copy_file_range has answered ENOSYS: copies go by blocks.
inline bool copy_range_missing = false;

// Whether copy_file_range failed with err only because it cannot serve
// these files (no such call, two filesystems, a kind of file it does not
// take): the copy goes on by blocks.
inline bool copy_range_unserved(int err) {
    return err == ENOSYS || err == EXDEV || err == EINVAL || err == EOPNOTSUPP || err == EBADF ||
           err == ETXTBSY;
}

// Copies the rest of the open file in to out as a stream, to its end
// whatever its size says: inside the kernel where it can, else by blocks.
// 0, or -1 with errno set.
inline int copy_stream(int in, int out) {
    for (;;) {
        ssize_t n = copy_range_missing ? -1
                                       : ::copy_file_range(in, nullptr, out, nullptr, 1UL << 30, 0);
        if (n > 0)
            continue;
        if (n == 0)
            return 0;
        if (errno == EINTR)
            continue;
        if (!copy_range_missing && !copy_range_unserved(errno))
            return -1;
        break;
    }
    constexpr size_t block = 1 << 20;
    std::unique_ptr<char, FreeDeleter> buf(static_cast<char *>(std::malloc(block)));
    if (!buf)
        return -1;
    for (;;) {
        ssize_t n = ::read(in, buf.get(), block);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return n < 0 ? -1 : 0;
        if (!write_all(out, buf.get(), static_cast<size_t>(n)))
            return -1;
    }
}

// chmod of the entry name of dirfd that never follows a link (a link
// answers EOPNOTSUPP); 0, or -1 with errno set.
int chmod_nofollow(int dirfd, const char *name, unsigned int mode);

// The inode flag word of the open regular file or directory fd; 0 when its
// filesystem keeps none. False with errno set when it cannot be read.
bool read_flag_word(int fd, int &word);

// Gives the open regular file or directory fd the copied flags of word
// (kCopiedFlags), leaving its other bits as its filesystem keeps them;
// nothing is set when they agree already. False with errno set.
bool set_flag_word(int fd, int word);

// Copies every extended attribute of the entry src of src_dirfd to dst of
// dst_dirfd (links themselves, never followed), empty values included. The
// first failure is printed on stderr; 0, or -1 with errno set.
int copy_all_xattrs(int src_dirfd, const char *src, int dst_dirfd, const char *dst,
                    const char *src_dir_shown, const char *dst_dir_shown);

// What failed while a new entry took its attributes, for the caller's
// message; errno tells why.
enum class AttrStep { kNone, kOwner, kMode, kTimes, kXattrs, kFlags };

// Gives the new regular file out (open, its data written) the owner, mode
// and times of st and the extended attributes of the source: in when the
// caller holds it open, else src of src_dirfd, opened here and checked to
// be the inode st describes (if it is not, the names are used). The inode
// flags are not set: the source's word goes to flags, for the caller to set
// once the file has all its names. The first step that fails ends the work
// (a failed extended-attribute copy is printed on stderr as well).
AttrStep copy_attributes_open(int in, int out, int src_dirfd, const char *src, int dst_dirfd,
                              const char *dst, const struct stat &st, const char *src_dir_shown,
                              const char *dst_dir_shown, int &flags);

// Copies the regular file src of src_dirfd, which lstat described as st, to
// the new file dst of dst_dirfd with its data, holes kept, and attributes,
// all through the two open files. -1 with errno when the data could not be
// copied, else 0 with step and flags as copy_attributes_open gives them.
int copy_file_with_attributes(int src_dirfd, const char *src, int dst_dirfd, const char *dst,
                              const struct stat &st, const char *src_dir_shown,
                              const char *dst_dir_shown, AttrStep &step, int &flags);

}  // namespace kx

#endif
