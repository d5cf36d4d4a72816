// Dirindex reading, check and repair. One structural check, fsck_in_core,
// underlies every service: finding lost links and writing a repaired copy
// (fsck_dirindex), listing the magic targets of an index (read_dirindex),
// and rewriting an index for a container with a new identifier
// (correct_dirindex, clone_dirindex).
//
// Files are opened below a directory descriptor without following a link or
// blocking, and only when they are regular files; repaired and rewritten
// copies are created anew (the path forms pass AT_FDCWD).
//
// Files are read through a private writable mapping: the check marks the
// records it reaches through the buckets and clears the checksum field in
// its copy only. Whatever the bytes say, nothing is read outside the
// mapping: every offset is bounds-checked before it is used, also for
// records that only the record walk reaches.
//
// Relies on: the format (dirindex_format.h), the writer's model and emitter
// (dirindex.cpp), check_template_pointer (templates.cpp), copy_reg_file
// (entry.cpp).
#include "dirindex_format.h"
#include "area.h"
#include "libkxfsutil.h"
#include "messages.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <algorithm>
#include <cstring>
#include <string>

namespace dx = kx::dirindex;

namespace {

// FATAL findings show from level 2, WARNING findings from level 4.
constexpr int kFatal = 2;
constexpr int kWarning = 4;

const char *where() {
    return current_path ? current_path : ".";
}

// A warning that leaves errno as it was, for callers that report it again.
void warn_with(int err, const char *what, const char *path) {
    warning(err, what, path);
    errno = err;
}

// "%s/%s" of the directory (the working directory when dir_shown is null)
// and name, keeping errno.
std::string in_dir(const char *dir_shown, const char *name) {
    int saved = errno;
    std::string s = (dir_shown ? std::string(dir_shown) : dx::working_directory()) + "/" + name;
    errno = saved;
    return s;
}

// The fields of one record head; the caller has checked that the 16 bytes
// lie within the file.
struct Record {
    uint8_t type;
    uint8_t flags;
    uint16_t namelen;
    uint32_t reclen;
    uint32_t ino;
    uint32_t link;
};

Record load_record(const unsigned char *r) {
    return Record{r[dx::kTypeAt],          r[dx::kFlagsAt],       dx::load16(r + dx::kNamelenAt),
                  dx::load32(r + dx::kReclenAt), dx::load32(r + dx::kInoAt), dx::load32(r + dx::kLinkAt)};
}

// The name bytes as stored, at most namelen of them and never past the end.
std::string stored_name(const unsigned char *base, size_t size, uint64_t at, uint16_t namelen) {
    uint64_t from = at + dx::kHeadSize;
    if (from >= size)
        return {};
    uint64_t n = std::min<uint64_t>(namelen, size - from);
    return std::string(reinterpret_cast<const char *>(base + from), static_cast<size_t>(n));
}

// True when the name with its zero byte and padding lies within the file.
bool name_fits(size_t size, uint64_t at, uint16_t namelen) {
    return namelen <= dx::kNameMax && at + dx::kHeadSize + dx::padded_name(namelen) <= size;
}

// True when the target block at link (its length and the text with its
// zero byte) lies within the file; tlen is set then.
bool target_fits(const unsigned char *base, size_t size, uint64_t link, uint32_t *tlen) {
    if (link + dx::kTlenSize > size)
        return false;
    *tlen = dx::load32(base + link);
    return link + dx::kTlenSize + uint64_t(*tlen) + 1 <= size;
}

std::string target_text(const unsigned char *base, uint64_t link, uint32_t tlen) {
    return std::string(reinterpret_cast<const char *>(base + link + dx::kTlenSize), tlen);
}

// Checks one record reached by the record walk, so that its fields may be
// used: 0, or -2 after a FATAL trace.
int check_walked_record(const unsigned char *base, size_t size, uint64_t pos, Record &rec,
                        uint32_t *tlen) {
    if (pos + dx::kHeadSize > size) {
        kx::trace(kFatal, "FATAL: truncated dentry\n");
        return -2;
    }
    rec = load_record(base + pos);
    if (rec.reclen < dx::kReclenMin) {
        kx::trace(kFatal, "FATAL: truncated...\n");
        return -2;
    }
    if (pos + rec.reclen > size) {
        kx::trace(kFatal, "FATAL: bad reclen\n");
        return -2;
    }
    if (!name_fits(size, pos, rec.namelen)) {
        kx::trace(kFatal, "FATAL: bad namelen %d for %s\n", rec.namelen,
                  stored_name(base, size, pos, rec.namelen).c_str());
        return -2;
    }
    if (rec.link != 0 && !target_fits(base, size, rec.link, tlen)) {
        kx::trace(kFatal, "FATAL: target of %s runs past EOF\n",
                  stored_name(base, size, pos, rec.namelen).c_str());
        return -2;
    }
    return 0;
}

// Follows every bucket's chain, marking the records it reaches: 0, or -2.
int walk_buckets(unsigned char *base, size_t size, uint32_t buckets, uint64_t start) {
    bool eof_seen = false;
    for (uint32_t i = 0; i < buckets; ++i) {
        uint64_t p = dx::load32(base + dx::kHeaderSize + 4 * size_t(i));
        if (p == 0)
            continue;
        for (;;) {
            if (p < start || p >= size) {
                kx::trace(kFatal, "FATAL: hash points to nowhere\n");
                return -2;
            }
            if (p + dx::kHeadSize > size) {
                kx::trace(kFatal, "FATAL: truncated dentry\n");
                return -2;
            }
            unsigned char *r = base + p;
            Record rec = load_record(r);
            if (rec.flags & ~dx::kStoredFlags) {
                kx::trace(kFatal, "FATAL: hash buckets cross\n");
                return -2;
            }
            if (eof_seen)
                kx::trace(kWarning, "WARNING: entry after EOF\n");
            r[dx::kFlagsAt] |= dx::kChecked;
            if (rec.reclen < dx::kReclenMin || rec.reclen > dx::kReclenMax || p + rec.reclen > size) {
                kx::trace(kFatal, "FATAL: bad reclen\n");
                return -2;
            }
            if (!name_fits(size, p, rec.namelen)) {
                kx::trace(kFatal, "FATAL: bad namelen %d for %s\n", rec.namelen,
                          stored_name(base, size, p, rec.namelen).c_str());
                return -2;
            }
            if (rec.link != 0) {
                if (rec.link <= start) {
                    kx::trace(kFatal, "FATAL: link %u points to hash\n", rec.link);
                    return -2;
                }
                if (rec.link > p + rec.reclen) {
                    kx::trace(kFatal, "FATAL: link points forward\n");
                    return -2;
                }
                uint32_t tlen;
                if (!target_fits(base, size, rec.link, &tlen)) {
                    kx::trace(kFatal, "FATAL: target of %s runs past EOF\n",
                              stored_name(base, size, p, rec.namelen).c_str());
                    return -2;
                }
            }
            if (rec.flags & DENT_EOF)
                eof_seen = true;
            if (rec.flags & DENT_LAST_IN_BUCKET)
                break;
            if (rec.flags & DENT_EOF)
                kx::trace(kWarning, "WARNING: EOF?\n");
            p += rec.reclen;
        }
    }
    return 0;
}

// Unlinks whatever holds the name and creates a fresh file: the repaired
// copy never writes through a link or into a file someone else holds.
int create_fresh(int dirfd, const char *outname) {
    if (unlinkat(dirfd, outname, 0) != 0 && errno != ENOENT)
        return -1;
    return kx::open_output(dirfd, outname, O_RDWR, true, false, 0644).release();
}

// Calls fn(pos, record, tlen) for every record from start in file order,
// up to the end of the file: an end flag on a record in the middle is only
// a warning of the check, and the records after it are the index's too.
// fsck_in_core has checked these records; the bounds are checked again all
// the same.
template <typename Fn>
bool for_each_record(const unsigned char *base, size_t size, uint64_t start, const char *name, Fn fn) {
    uint64_t pos = start;
    while (pos < size) {
        Record rec{};
        uint32_t tlen = 0;
        if (pos + dx::kHeadSize > size || (rec = load_record(base + pos)).reclen < dx::kReclenMin) {
            warning(0, "Truncated... '%s'", name);
            return false;
        }
        if (pos + rec.reclen > size || !name_fits(size, pos, rec.namelen) ||
            (rec.link != 0 && !target_fits(base, size, rec.link, &tlen))) {
            warning(0, "Truncated... '%s'", name);
            return false;
        }
        fn(pos, rec, tlen);
        pos += rec.reclen;
    }
    return true;
}

}  // namespace

void *mmap_file(const char *path, struct stat *st) {
    return mmap_file_at(AT_FDCWD, path, st, nullptr);
}

void *mmap_file_at(int dirfd, const char *name, struct stat *st, const char *dir_shown) {
    struct stat local;
    struct stat *s = st ? st : &local;
    // Only a regular file is opened: a device node or fifo planted under the
    // name is never read, nor waited for.
    kx::Fd fd(openat(dirfd, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (!fd.ok()) {
        warn_with(errno, "can't open dirindex file '%s'", kx::shown_path(dir_shown, name).c_str());
        return nullptr;
    }
    if (fstat(fd.get(), s) != 0) {
        warn_with(errno, "can't fstat dirindex file '%s'", kx::shown_path(dir_shown, name).c_str());
        return nullptr;
    }
    if (!S_ISREG(s->st_mode)) {
        warn_with(EINVAL, "can't open dirindex file '%s'", kx::shown_path(dir_shown, name).c_str());
        return nullptr;
    }
    // An empty file cannot be mapped. A file larger than any index, or one
    // claiming more than it holds, is refused before it costs its size.
    if (s->st_size <= 0) {
        warn_with(EINVAL, "can't mmap dirindex file '%s'", kx::shown_path(dir_shown, name).c_str());
        return nullptr;
    }
    if (!dx::may_be_index(fd.get(), static_cast<uint64_t>(s->st_size))) {
        warn_with(errno, "can't mmap dirindex file '%s'", kx::shown_path(dir_shown, name).c_str());
        return nullptr;
    }
    void *map = mmap(nullptr, static_cast<size_t>(s->st_size), PROT_READ | PROT_WRITE, MAP_PRIVATE,
                     fd.get(), 0);
    if (map == MAP_FAILED) {
        warn_with(errno, "can't mmap dirindex file '%s'", kx::shown_path(dir_shown, name).c_str());
        return nullptr;
    }
    return map;
}

int verify_checksum(const void *map, size_t size, const unsigned char *stored) {
    unsigned char sum[4];
    dx::digest_prefix(static_cast<const unsigned char *>(map), size, sum);
    return std::memcmp(sum, stored, 4) != 0;
}

const char *type_str(unsigned int code) {
    return dx::type_letter(code);
}

namespace {

// The check of fsck_in_core with the repaired copy created in outdirfd;
// current_path has been set by the caller.
int check_core(const char *name, void *map, size_t size, int outdirfd, const char *outname,
               const char *template_root) {
    auto *base = static_cast<unsigned char *>(map);
    if (!name)
        name = "";
    dx::reset_model();

    if (size < dx::kHeaderSize) {
        kx::trace(kFatal, "FATAL: truncated header '%s'\n", name);
        return -2;
    }
    uint32_t signature = dx::load32(base + dx::kSignatureAt);
    if (signature != dx::kSignature) {
        kx::trace(kFatal, "FATAL: wrong signature '%s' %08x\n", name, signature);
        return -2;
    }
    unsigned char stored[4];
    std::memcpy(stored, base + dx::kChecksumAt, 4);
    std::memset(base + dx::kChecksumAt, 0, 4);
    if (verify_checksum(base, size, stored) != 0)
        kx::trace(kWarning, "WARNING: wrong checksum '%s'\n", name);

    uint32_t buckets = dx::load32(base + dx::kPrimeAt);
    if (buckets == 0) {
        kx::trace(kFatal, "FATAL: zero hash prime '%s'\n", name);
        return -2;
    }
    uint64_t start = dx::load32(base + dx::kStartAt);
    if (start >= size) {
        kx::trace(kFatal, "FATAL: start index is after EOF\n");
        return -2;
    }
    if (start == 0) {
        kx::trace(kWarning, "WARNING: empty dir\n");
    } else if (start < dx::table_end(buckets)) {
        kx::trace(kFatal, "FATAL: start points inside hash table\n");
        return -2;
    }
    if (dx::table_end(buckets) > size) {
        kx::trace(kFatal, "FATAL: hash table is after EOF\n");
        return -2;
    }

    if (walk_buckets(base, size, buckets, start) != 0)
        return -2;
    if (start == 0)
        return 0;

    // Record walk: list every record in file order.
    bool eof_seen = false;
    bool lost = false;
    for (uint64_t pos = start; pos != size;) {
        Record rec;
        uint32_t tlen = 0;
        if (check_walked_record(base, size, pos, rec, &tlen) != 0)
            return -2;
        std::string rname(reinterpret_cast<const char *>(base + pos + dx::kHeadSize), rec.namelen);
        kx::trace(kWarning, "%s\t%s", type_str(rec.type), rname.c_str());

        bool listed = true;
        std::string text;
        if (rec.link != 0) {
            text = target_text(base, rec.link, tlen);
            kx::trace(kWarning, " -> %s/%s", text.c_str(), rname.c_str());
            if (template_root) {
                std::string rel = (text.size() > 4 ? text.substr(4) : std::string()) + "/" + rname;
                std::string path = std::string(template_root) + "/" + rel;
                // A target that climbs out of the template names nothing.
                struct stat st;
                if (kx::leaves_root(rel) || lstat(path.c_str(), &st) != 0) {
                    kx::trace(2, "Lost link in 'dirindex' %s\n", path.c_str());
                    lost = true;
                    listed = false;
                }
            } else {
                listed = false;
            }
        }
        if (listed) {
            struct poolstr *target = rec.link != 0 ? pool_add(text.c_str()) : nullptr;
            dx::append_entry(rname.data(), rec.namelen, rec.type, rec.ino, target);
            if (rec.type == dx::kTypeDir)
                ++dtot;
            ++tot;
            if (target) {
                std::string magic = text + "/" + rname;
                check_template_pointer(rname.c_str(), magic.c_str());
            }
        }
        kx::trace(kWarning, "\n");

        if (!(rec.flags & dx::kChecked))
            kx::trace(kWarning, "WARNING: dentry is not in hash\n");
        if (rec.flags & DENT_EOF) {
            if (pos + rec.reclen != size)
                kx::trace(kWarning, "WARNING: EOF is in the middle\n");
            eof_seen = true;
        }
        pos += rec.reclen;
    }
    if (!eof_seen)
        kx::trace(kWarning, "WARNING: last dentry is not EOF\n");

    if (!lost)
        return 0;
    if (!outname)
        return 1;

    kx::trace(4, "Scanned %d entries, %d dirs\n", static_cast<int>(tot), static_cast<int>(dtot));
    select_prime();
    create_hash_table();
    int fd = create_fresh(outdirfd, outname);
    if (fd < 0) {
        werror(errno, "can't open '%s'", outname);
        return -1;
    }
    if (dx::write_model(fd) != 0) {
        unlinkat(outdirfd, outname, 0);
        clean_memory();
        return -1;
    }
    clean_memory();
    kx::trace(4, "wrote file %s/%s \n", where(), outname);
    return 1;
}

// read_in_core on a model whose current_path the caller has set.
char **read_core(const char *name, void *map, size_t size);

// Checks the index name of dirfd: fsck_dirindex after its directory change.
int check_file(int dirfd, const char *index_name, const char *outname, const char *template_root,
               const char *dir_shown) {
    struct stat st;
    void *map = mmap_file_at(dirfd, index_name, &st, dir_shown);
    if (!map) {
        werror(errno, "can't mmap dirindex file '%s'", in_dir(dir_shown, index_name).c_str());
        return -1;
    }
    kx::Mapping mapping(map, static_cast<size_t>(st.st_size));
    dx::set_current_path(dir_shown);
    int rc = check_core(index_name, map, mapping.size(), dirfd, outname, template_root);
    if (mapping.unmap() != 0)
        werror(errno, "can't munmap dirindex file '%s'", in_dir(dir_shown, index_name).c_str());
    return rc;
}

}  // namespace

int fsck_in_core(const char *name, void *map, size_t size, const char *outname,
                 const char *template_root) {
    dx::set_current_path();
    return check_core(name, map, size, AT_FDCWD, outname, template_root);
}

int fsck_dirindex(const char *dir, const char *index_name, const char *outname,
                  const char *template_root) {
    if (std::strcmp(dir, ".") != 0 && chdir(dir) != 0) {
        werror(errno, "Can't chdir to '%s'", dir);
        return 1;
    }
    return check_file(AT_FDCWD, index_name, outname, template_root, nullptr);
}

int fsck_dirindex_at(int dirfd, const char *index_name, const char *outname,
                     const char *template_root, const char *dir_shown) {
    return check_file(dirfd, index_name, outname, template_root, dir_shown);
}

char **read_in_core(const char *name, void *map, size_t size) {
    dx::set_current_path();
    return read_core(name, map, size);
}

namespace {

char **read_core(const char *name, void *map, size_t size) {
    if (check_core(name, map, size, AT_FDCWD, nullptr, nullptr) < 0)
        return nullptr;
    if (!name)
        name = "";
    const auto *base = static_cast<const unsigned char *>(map);
    uint64_t start = dx::load32(base + dx::kStartAt);
    if (start == 0)
        return static_cast<char **>(xmalloc(sizeof(char *)));

    size_t count = 0;
    if (!for_each_record(base, size, start, name,
                         [&](uint64_t, const Record &rec, uint32_t) { count += rec.link != 0; }))
        return nullptr;
    auto **texts = static_cast<char **>(xmalloc(sizeof(char *) * (count + 1)));
    size_t n = 0;
    for_each_record(base, size, start, name, [&](uint64_t pos, const Record &rec, uint32_t tlen) {
        if (rec.link == 0 || n == count)
            return;
        std::string magic = target_text(base, rec.link, tlen) + "/" +
                            std::string(reinterpret_cast<const char *>(base + pos + dx::kHeadSize),
                                        rec.namelen);
        texts[n++] = xstrdup(magic.c_str());
    });
    return texts;
}

}  // namespace

char **read_dirindex(const char *path) {
    struct stat st;
    void *map = mmap_file(path, &st);
    if (!map) {
        werror(errno, "can't mmap dirindex file '%s'", path);
        return nullptr;
    }
    kx::Mapping mapping(map, static_cast<size_t>(st.st_size));
    char **texts = read_in_core(path, map, mapping.size());
    if (mapping.unmap() != 0)
        werror(errno, "can't munmap dirindex file '%s'", path);
    return texts;
}

char **read_dirindex_at(int dirfd, const char *name, const char *dir_shown) {
    const std::string shown = kx::shown_path(dir_shown, name);
    struct stat st;
    void *map = mmap_file_at(dirfd, name, &st, dir_shown);
    if (!map) {
        werror(errno, "can't mmap dirindex file '%s'", shown.c_str());
        return nullptr;
    }
    kx::Mapping mapping(map, static_cast<size_t>(st.st_size));
    dx::set_current_path(dir_shown ? dir_shown : ".");
    char **texts = read_core(shown.c_str(), map, mapping.size());
    if (mapping.unmap() != 0)
        werror(errno, "can't munmap dirindex file '%s'", shown.c_str());
    return texts;
}

namespace {

// correct_dirindex with the output in outdirfd: created anew (exclusive)
// or written over as a regular file of one name.
int correct_core(const char *name, void *map, size_t size, int outdirfd, const char *outname,
                 bool exclusive, const char *old_uuid, const char *new_uuid,
                 const char *dir_shown) {
    dx::set_current_path(dir_shown);
    // A broken index has nothing that can be rewritten: -2 tells it apart
    // from a failure to write the new one.
    if (check_core(name, map, size, AT_FDCWD, nullptr, nullptr) < 0)
        return -2;
    dx::reset_model();
    const auto *base = static_cast<const unsigned char *>(map);
    uint64_t start = dx::load32(base + dx::kStartAt);
    if (start == 0)
        return 0;

    bool walked = for_each_record(base, size, start, name ? name : "",
                                  [&](uint64_t pos, const Record &rec, uint32_t tlen) {
        struct poolstr *target = nullptr;
        if (rec.link != 0) {
            std::string text = target_text(base, rec.link, tlen);
            correct_magic_uuid(text.data(), old_uuid, new_uuid);
            target = pool_add(text.c_str());
        }
        dx::append_entry(reinterpret_cast<const char *>(base + pos + dx::kHeadSize), rec.namelen,
                         rec.type, rec.ino, target);
        if (rec.type == dx::kTypeDir)
            ++dtot;
        ++tot;
    });
    if (!walked) {
        clean_memory();
        return -1;
    }

    select_prime();
    create_hash_table();
    kx::Fd fd = kx::open_output(outdirfd, outname, O_RDWR, exclusive, true, 0644);
    if (!fd.ok()) {
        int err = errno;
        warning(err, "can't open '%s/%s'", where(), outname);
        clean_memory();
        errno = err;
        return -1;
    }
    int rc = dx::write_model(fd.release());
    int err = errno;
    if (rc != 0)
        unlinkat(outdirfd, outname, 0);
    clean_memory();
    errno = err;
    return rc;
}

// False, with errno EFBIG, when the regular file src is larger than any
// index or holds a hole no index has: a byte-for-byte copy would cost the
// file's whole size. Anything that cannot be judged is left to the copy.
bool source_may_be_index(int dirfd, const char *src) {
    kx::Fd fd(openat(dirfd, src, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    struct stat st;
    if (!fd.ok() || fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode))
        return true;
    return dx::may_be_index(fd.get(), static_cast<uint64_t>(st.st_size));
}

// clone_dirindex between two directories.
int clone_core(int src_dirfd, const char *src, int dst_dirfd, const char *dst, bool exclusive,
               const char *old_uuid, const char *new_uuid, const char *dir_shown) {
    if (old_uuid && new_uuid) {
        struct stat st;
        void *map = mmap_file_at(src_dirfd, src, &st, nullptr);
        if (!map) {
            // An empty file or another type is no index at all.
            int err = errno;
            int broken = err == EINVAL ? -2 : -1;
            werror(err, "can't mmap dirindex file '%s'", in_dir(dir_shown, src).c_str());
            errno = err;
            return broken;
        }
        kx::Mapping mapping(map, static_cast<size_t>(st.st_size));
        int rc = correct_core(src, map, mapping.size(), dst_dirfd, dst, exclusive, old_uuid,
                              new_uuid, dir_shown);
        if (mapping.unmap() != 0)
            werror(errno, "can't munmap dirindex file '%s'", in_dir(dir_shown, src).c_str());
        return rc;
    }
    int rc = !source_may_be_index(src_dirfd, src) ? -1
             : exclusive                          ? copy_reg_file_at(src_dirfd, src, dst_dirfd, dst)
                                                  : copy_reg_file(src, dst);
    if (rc != 0) {
        int err = errno;
        werror(err, "can't copy dirindex file '%s'", in_dir(dir_shown, src).c_str());
        errno = err;
        return -1;
    }
    return 0;
}

}  // namespace

int correct_dirindex(const char *name, void *map, size_t size, const char *outname,
                     const char *old_uuid, const char *new_uuid) {
    int rc = correct_core(name, map, size, AT_FDCWD, outname, false, old_uuid, new_uuid, nullptr);
    return rc < 0 ? -1 : rc;
}

int correct_dirindex_at(const char *name, void *map, size_t size, int outdirfd,
                        const char *outname, const char *old_uuid, const char *new_uuid,
                        const char *dir_shown) {
    int rc = correct_core(name, map, size, outdirfd, outname, true, old_uuid, new_uuid, dir_shown);
    return rc < 0 ? -1 : rc;
}

int clone_dirindex(const char *src, const char *dst, const char *old_uuid, const char *new_uuid) {
    int rc = clone_core(AT_FDCWD, src, AT_FDCWD, dst, false, old_uuid, new_uuid, nullptr);
    return rc < 0 ? -1 : rc;
}

int clone_dirindex_at(int src_dirfd, const char *src, int dst_dirfd, const char *dst,
                      const char *old_uuid, const char *new_uuid, const char *dir_shown) {
    return clone_core(src_dirfd, src, dst_dirfd, dst, true, old_uuid, new_uuid, dir_shown);
}
