// Dirindex creation: lists one directory of a private area (real entries as
// they are, magic links and shortcuts by the template object they point to),
// writes its dirindex, marks the directory and removes the entries the index
// now stands for. The in-memory model (entry list, string pool, bucket table)
// and the writer also serve the rewriting paths of dirindex_check.cpp. Small
// helpers other modules use live here too: the name lists, create_shortcut
// and correct_magic_uuid.
//
// The directory is given as a descriptor and every entry is examined below
// it without following a link (the path forms pass AT_FDCWD). The model is
// process-wide (the exported variables below), so one index is built at a
// time. Relies on: the format (dirindex_format.h), messages and memory
// (common.cpp).
#include "dirindex_format.h"
#include "area.h"
#include "entry.h"
#include "host.h"
#include "libkxfsutil.h"
#include "messages.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace dx = kx::dirindex;

struct dent *dlist = nullptr;
struct dent *dlist_end = nullptr;
struct poolstr *pool = nullptr;
struct ht_bucket *ht = nullptr;
uint32_t *ht_emit = nullptr;
uint32_t prime = 0;
uint32_t tot = 0;
uint32_t dtot = 0;
uint32_t emitted = 0;
struct namelist *rl_info = nullptr;
char *current_path = nullptr;

namespace {

// Buckets allocated in ht and ht_emit (prime may change after allocation).
uint32_t ht_size = 0;

// Finds a pool entry by its text without walking the pool. Keys view the
// texts owned by the pool entries; free_poolstr and clean_memory keep the
// index in step with `pool`.
std::unordered_map<std::string_view, struct poolstr *> pool_index;

// Index of one name list, so that searches do not walk it. It describes the
// list whose head node is `head`; pushes through namelist_add onto that list
// keep it current, any other list is indexed afresh on its first search.
struct ListIndex {
    const struct namelist *head = nullptr;
    bool has_names = false;
    bool has_keys = false;
    std::unordered_set<std::string_view> names;
    std::unordered_map<const void *, const char *> first_by_key;

    void forget() {
        head = nullptr;
        has_names = has_keys = false;
        names.clear();
        first_by_key.clear();
    }
};
ListIndex list_index;

// The file image of the index being written. emit_header starts it,
// emit_direntries and emit_dent append the records, emit_hashtable patches
// the bucket table and emit_checksum computes the checksum over the image,
// patches it and writes the whole image with one write, so an index costs a
// single write however many records it has, and the checksum needs no
// re-read of the file.
struct Image {
    int fd = -1;
    bool started = false;
    std::vector<unsigned char> bytes;
};
Image image;

const char *where() {
    return current_path ? current_path : ".";
}

void start_image(int fd) {
    image.fd = fd;
    image.started = true;
    image.bytes.clear();
    image.bytes.reserve(dx::table_end(prime) + size_t(tot) * 48);
    image.bytes.resize(dx::table_end(prime), 0);
    unsigned char *h = image.bytes.data();
    dx::store32(h + dx::kSignatureAt, dx::kSignature);
    dx::store32(h + dx::kStartAt, 0);
    dx::store32(h + dx::kDirsAt, dtot);
    dx::store32(h + dx::kPrimeAt, prime);
    dx::store32(h + dx::kChecksumAt, 0);
}

void ensure_image(int fd) {
    if (!image.started || image.fd != fd)
        start_image(fd);
}

void drop_image() {
    image.started = false;
    image.fd = -1;
    std::vector<unsigned char>().swap(image.bytes);
}

void append_zeros_to(uint64_t end) {
    if (image.bytes.size() < end)
        image.bytes.resize(end, 0);
}

void append(const void *data, size_t n) {
    const auto *p = static_cast<const unsigned char *>(data);
    image.bytes.insert(image.bytes.end(), p, p + n);
}

// Releases the bucket table and the entries it holds.
void release_table() {
    if (ht) {
        for (uint32_t i = 0; i < ht_size; ++i)
            free_dent(ht[i].head);
        std::free(ht);
    }
    std::free(ht_emit);
    ht = nullptr;
    ht_emit = nullptr;
    ht_size = 0;
}

void index_push(struct namelist *node, const struct namelist *old_head) {
    if (list_index.head == nullptr || list_index.head != old_head)
        return;
    list_index.head = node;
    if (list_index.has_names)
        list_index.names.insert(node->name);
    if (list_index.has_keys)
        list_index.first_by_key[node->data] = node->name;
}

void index_list(struct namelist *head) {
    if (list_index.head == head && head != nullptr)
        return;
    list_index.forget();
    list_index.head = head;
}

void push_name(const char *name, void *key, struct namelist **head) {
    auto *node = static_cast<struct namelist *>(xmalloc(sizeof(struct namelist)));
    node->name = xstrdup(name);
    node->data = key;
    node->next = *head;
    index_push(node, *head);
    *head = node;
}

// Reads a symbolic link's whole text (relative to dirfd).
int read_link_at(int dirfd, const char *path, std::string &text) {
    std::string buf(4096, '\0');
    for (;;) {
        ssize_t n = readlinkat(dirfd, path, buf.data(), buf.size());
        if (n < 0)
            return -1;
        if (static_cast<size_t>(n) < buf.size()) {
            text.assign(buf.data(), static_cast<size_t>(n));
            return 0;
        }
        buf.resize(buf.size() * 2);
    }
}

bool attributes_agree(const struct stat &a, const struct stat &b) {
    return a.st_uid == b.st_uid && a.st_gid == b.st_gid &&
           ((a.st_mode & 0xFFF) | S_ISVTX) == ((b.st_mode & 0xFFF) | S_ISVTX);
}

// What scan_one builds for one entry before it is accepted.
struct Candidate {
    int dirfd = AT_FDCWD;
    const char *name;
    struct stat st;
    bool keep = false;
    uint8_t type = 0;
    uint32_t ino = 0;
    struct poolstr *target = nullptr;
    bool removable = false;
    kx::TemplateLookup *templates = nullptr;
};

// Magic processing of one entry's magic text: the template object it names
// gives the record's type, inode key and target directory text.
int process_magic(Candidate &c, std::string text, const char *template_root) {
    const char *name = c.name;
    if (!kx::is_magic(std::string_view(text)) || text.find('\0') != std::string::npos) {
        if (kx::trace_on(2))
            debug_print(2, "Not a magic link '%s/%s' -> %s\n", where(), name, text.c_str());
        return 3;
    }
    if (text.size() > MAGIC_TARGET_MAX) {
        warning(0, "Too long magic target '%s/%s', fix it", where(), name);
        return 3;
    }
    if (kx::leaves_root(text)) {
        warning(0, "magic link %s points to something wrong", name);
        return 3;
    }
    std::string root = template_root ? template_root : "";
    std::string path = root + text;
    struct stat tst;
    if (c.templates->lstat(path, &tst) != 0) {
        warning(errno, "can't stat template '%s'", path.c_str());
        return 3;
    }
    bool is_dir = S_ISDIR(c.st.st_mode);
    if (!(S_ISREG(tst.st_mode) || S_ISLNK(tst.st_mode) || (is_dir && S_ISDIR(tst.st_mode)))) {
        warning(0, "magic link %s points to something wrong", name);
        return 3;
    }

    size_t slash = text.rfind('/');
    if (text.compare(slash + 1, std::string::npos, name) != 0) {
        text.replace(slash + 1, std::string::npos, name);
        std::string own = root + text;
        if (kx::trace_on(4))
            debug_print(4, "Warning: check hard link '%s/%s' -> '%s'\n", where(), name, own.c_str());
        struct stat ost;
        if (c.templates->lstat(own, &ost) != 0 || ost.st_ino != tst.st_ino) {
            if (kx::trace_on(4))
                debug_print(4, "Warning: name mistmatch on '%s/%s'\n", where(), name);
            return 3;
        }
        c.keep = true;
    }
    text.resize(slash);

    // A record longer than a block is one the reader rejects as broken, so
    // such an entry is not listed at all.
    if (dx::kHeadSize + dx::padded_name(std::strlen(name)) + dx::target_block(text.size()) >
        dx::kBlock) {
        warning(0, "Too long magic target '%s/%s', fix it", where(), name);
        return 3;
    }
    if (!attributes_agree(c.st, tst)) {
        if (kx::trace_on(4))
            debug_print(4, "Warning: file attributes mistmatch on '%s/%s'\n", where(), name);
        c.keep = true;
    }
    c.target = pool_add(text.c_str());
    c.type = dx::type_code(tst.st_mode);
    c.ino = static_cast<uint32_t>(uint64_t(tst.st_ino) * 2 + 1);
    c.removable = !is_dir && !c.keep;
    return 0;
}

// Gives the new file fd the shortcut's content and the owner, mode and
// times of st: 0, or 1, reported as "dir/name".
int fill_shortcut(int fd, const char *dir, const char *name, const char *content, int length,
                  const struct stat *st) {
    size_t want = length > 0 ? static_cast<size_t>(length) : 0;
    size_t done = 0;
    kx::allocate_ahead(fd, want);
    do {
        ssize_t n = write(fd, content + done, want - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            werror(n < 0 ? errno : 0, "Can't write shortcut '%s/%s'", dir, name);
            return 1;
        }
        done += static_cast<size_t>(n);
    } while (done < want);
    // Owner first: chown clears the set-ID bits that the mode then restores.
    if (fchown(fd, st->st_uid, st->st_gid) != 0) {
        werror(errno, "Error chown '%s/%s'", dir, name);
        return 1;
    }
    if (fchmod(fd, st->st_mode & 0xFFF) != 0) {
        werror(errno, "Error chmod '%s/%s'", dir, name);
        return 1;
    }
    struct timespec times[2] = {st->st_atim, st->st_mtim};
    if (futimens(fd, times) != 0) {
        werror(errno, "Error utime '%s/%s'", dir, name);
        return 1;
    }
    return 0;
}

// Writes a shortcut into the file fd just opened for name and closes it.
int write_shortcut(kx::Fd fd, const char *dir, const char *name, const char *content, int length,
                   const struct stat *st) {
    if (!fd.ok()) {
        werror(errno, "Can't create shortcut '%s/%s'", dir, name);
        return 1;
    }
    if (fill_shortcut(fd.get(), dir, name, content, length, st) != 0)
        return 1;
    if (fd.close() != 0) {
        werror(errno, "Can't write shortcut '%s/%s'", dir, name);
        return 1;
    }
    return 0;
}

// Replaces the magic link `name` by a shortcut holding its text, atomically:
// the shortcut is written under a new temporary name and renamed over the
// link, so a failure leaves the link as it was.
int link_to_shortcut(int dirfd, const char *name, const std::string &text, const struct stat &st) {
    if (kx::trace_on(4))
        debug_print(4, "Substitute magic symlink '%s/%s' for shortcut\n", where(), name);
    kx::TempName tmp;
    kx::Fd fd;
    if (!tmp.create_file(dirfd, name, '-', fd)) {
        werror(errno, "Can't create shortcut '%s/%s-XXXXXX'", where(), name);
        return 1;
    }
    struct stat sst = st;
    sst.st_mode = S_IFREG | S_ISVTX | (st.st_mode & 07777);
    if (write_shortcut(std::move(fd), where(), tmp.c_str(), text.data(),
                       static_cast<int>(text.size()), &sst) != 0)
        return 1;
    if (renameat(dirfd, tmp.c_str(), dirfd, name) != 0) {
        werror(errno, "Can't remove symlink '%s/%s'", where(), name);
        return 1;
    }
    tmp.keep();
    return 0;
}

int scan_directory_entry(Candidate &c, const char *template_root) {
    const char *name = c.name;
    if (!(c.st.st_mode & S_ISUID) || kx::is_dot_or_dotdot(name)) {
        if (kx::trace_on(4))
            debug_print(4, "WARNING: directory %s\n", name);
        c.type = dx::kTypeDir;
        c.ino = static_cast<uint32_t>(uint64_t(c.st.st_ino) * 2);
        return 0;
    }
    std::string link = kx::join(name, DIRINDEX_NAME);
    std::string text;
    kx::Fd dir(openat(c.dirfd, name, O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    int rc = dir.ok() ? read_link_at(dir.get(), DIRINDEX_NAME, text) : -1;
    if (rc != 0) {
        if (dir.ok() && errno == EINVAL) {
            if (kx::trace_on(4))
                debug_print(4, "WARNING: dirindex directory '%s'\n", name);
            c.type = dx::kTypeDir;
            c.ino = static_cast<uint32_t>(uint64_t(c.st.st_ino) * 2);
            return 0;
        }
        warning(errno, "readlink '%s'", link.c_str());
        return 3;
    }
    return process_magic(c, std::move(text), template_root);
}

// One open serves the attribute check and the content: the file must still
// be the regular file lstat saw.
int scan_shortcut(Candidate &c, const char *template_root) {
    const char *name = c.name;
    kx::Fd fd = kx::open_regular_at(c.dirfd, name, nullptr, &c.st);
    if (fd.ok() && kx::own_attributes(fd.get()) > 0) {
        if (kx::trace_on(2))
            debug_print(2, "ext attributes '%s/%s'\n", where(), name);
        c.keep = true;
    }
    if (!fd.ok()) {
        warning(errno, "can't open '%s/%s'", where(), name);
        return 3;
    }
    std::string text;
    // At most MAGIC_TARGET_MAX + 1 bytes: a longer content shows as a text
    // longer than a magic target may be.
    if (!kx::read_shortcut_text(fd.get(), MAGIC_TARGET_MAX + 1, text)) {
        warning(errno, "can't read '%s/%s'", where(), name);
        return 3;
    }
    return process_magic(c, std::move(text), template_root);
}

int scan_symlink(Candidate &c, int option, const char *template_root) {
    const char *name = c.name;
    std::string text;
    if (read_link_at(c.dirfd, name, text) != 0) {
        warning(errno, "can't readlink '%s/%s'", where(), name);
        return 3;
    }
    if (!kx::is_magic(std::string_view(text))) {
        if (kx::trace_on(4))
            debug_print(4, "WARNING: symlink %s -> %s\n", name, text.c_str());
        c.type = dx::kTypeSymlink;
        c.ino = static_cast<uint32_t>(uint64_t(c.st.st_ino) * 2);
        return 0;
    }
    // The cow mark says the container changed the file: it reads the cow
    // file, not the template. Such a link stays beside the index, and is
    // never made a shortcut, which carries no mark.
    if (c.st.st_mode & S_ISVTX) {
        if (kx::trace_on(4))
            debug_print(4, "Warning: cow mark on '%s/%s'\n", where(), name);
        c.keep = true;
    } else if ((option & 0x10) && link_to_shortcut(c.dirfd, name, text, c.st) != 0) {
        return 1;
    }
    return process_magic(c, std::move(text), template_root);
}

}  // namespace

// ---- helpers shared with the reader ---------------------------------------

namespace kx::dirindex {

std::string working_directory() {
    std::string buf(4096, '\0');
    while (getcwd(buf.data(), buf.size()) == nullptr) {
        if (errno != ERANGE)
            return ".";
        buf.resize(buf.size() * 2);
    }
    buf.resize(std::strlen(buf.c_str()));
    return buf;
}

void set_current_path(const char *shown) {
    char *copy = shown ? xstrdup(shown) : xstrdup(working_directory().c_str());
    std::free(current_path);
    current_path = copy;
}

void reset_model() {
    tot = dtot = emitted = 0;
    clean_memory();
}

struct dent *append_entry(const char *name, size_t namelen, uint8_t type, uint32_t ino,
                          struct poolstr *target) {
    auto *e = static_cast<struct dent *>(xmalloc(sizeof(struct dent)));
    e->name = static_cast<char *>(xmalloc(namelen + 1));
    std::memcpy(e->name, name, namelen);
    e->namelen = static_cast<uint16_t>(namelen);
    e->type = type;
    e->ino = ino;
    e->target = target;
    if (dlist_end)
        dlist_end->next = e;
    else
        dlist = e;
    dlist_end = e;
    return e;
}

int write_model(int fd) {
    int rc = emit_dirindex(fd);
    int saved = errno;
    if (close(fd) != 0 && rc == 0) {
        saved = errno;
        werror(errno, "write '%s'", where());
        rc = -1;
    }
    errno = saved;
    return rc;
}

}  // namespace kx::dirindex

// ---- the format's hash and bucket count -----------------------------------

uint32_t dirindex_hash(const char *name, unsigned int namelen) {
    return dx::name_hash(name, namelen);
}

void select_prime(void) {
    prime = dx::bucket_count(tot);
}

void create_hash_table(void) {
    release_table();
    if (prime == 0)
        select_prime();
    ht_size = prime;
    ht = static_cast<struct ht_bucket *>(xmalloc(sizeof(struct ht_bucket) * ht_size));
    ht_emit = static_cast<uint32_t *>(xmalloc(sizeof(uint32_t) * ht_size));
    struct dent *next;
    for (struct dent *e = dlist; e; e = next) {
        next = e->next;
        e->next = nullptr;
        struct ht_bucket &b = ht[dx::name_hash(e->name, e->namelen) % ht_size];
        if (b.tail)
            b.tail->next = e;
        else
            b.head = e;
        b.tail = e;
        ++b.count;
    }
    dlist = dlist_end = nullptr;
}

// ---- the writer ------------------------------------------------------------

int emit_header(int fd) {
    start_image(fd);
    return 0;
}

uint32_t emit_dent(int fd, struct dent *entry, uint32_t bucket) {
    ensure_image(fd);
    uint64_t name_bytes = dx::padded_name(entry->namelen);
    uint64_t size = dx::kHeadSize + name_bytes;
    bool carries = entry->target && entry->target->offset == 0;
    size_t tlen = carries ? std::strlen(entry->target->text) : 0;
    if (carries)
        size += dx::target_block(tlen);
    if (size > dx::kBlock && kx::trace_on(1))
        debug_print(1, "too long entry '%s'\n", entry->name);

    uint64_t pos = dx::place_record(image.bytes.size(), size);
    if (entry->target) {
        if (carries)
            entry->target->offset = static_cast<uint32_t>(pos + dx::kHeadSize + name_bytes);
        entry->link = entry->target->offset;
    }
    if (entry->next == nullptr) {
        entry->flags |= DENT_LAST_IN_BUCKET;
        if (emitted == tot - 1)
            entry->flags |= DENT_EOF;
    }

    append_zeros_to(pos);
    unsigned char head[dx::kHeadSize];
    head[dx::kTypeAt] = entry->type;
    head[dx::kFlagsAt] = entry->flags;
    dx::store16(head + dx::kNamelenAt, entry->namelen);
    dx::store32(head + dx::kReclenAt, entry->reclen);
    dx::store32(head + dx::kInoAt, entry->ino);
    dx::store32(head + dx::kLinkAt, entry->link);
    append(head, sizeof head);
    append(entry->name, entry->namelen);
    append_zeros_to(pos + dx::kHeadSize + name_bytes);
    if (carries) {
        unsigned char len[dx::kTlenSize];
        dx::store32(len, static_cast<uint32_t>(tlen));
        append(len, sizeof len);
        append(entry->target->text, tlen);
        append_zeros_to(entry->target->offset + dx::target_block(tlen));
    }

    if (ht && bucket < ht_size && ht[bucket].head == entry)
        ht_emit[bucket] = static_cast<uint32_t>(pos);
    ++emitted;
    return static_cast<uint32_t>(pos);
}

int emit_direntries(int fd) {
    ensure_image(fd);
    uint64_t previous = 0;
    bool any = false;
    uint32_t buckets = ht ? (prime < ht_size ? prime : ht_size) : 0;
    for (uint32_t i = 0; i < buckets; ++i) {
        for (struct dent *e = ht[i].head; e; e = e->next) {
            uint64_t pos = emit_dent(fd, e, i);
            // The first time this is the header's start, then the previous
            // record's reclen.
            dx::store32(image.bytes.data() + previous + 4, static_cast<uint32_t>(pos - previous));
            previous = pos;
            any = true;
        }
    }
    if (any) {
        uint64_t end = image.bytes.size();
        dx::store32(image.bytes.data() + previous + 4, static_cast<uint32_t>(end - previous));
    }
    return 0;
}

int emit_hashtable(int fd) {
    ensure_image(fd);
    for (uint32_t i = 0; i < prime && i < ht_size; ++i)
        dx::store32(image.bytes.data() + dx::kHeaderSize + 4 * size_t(i), ht_emit[i]);
    return 0;
}

int emit_checksum(int fd) {
    ensure_image(fd);
    std::vector<unsigned char> &bytes = image.bytes;
    if (bytes.size() > UINT32_MAX) {
        werror(EFBIG, "write '%s'", where());
        drop_image();
        return -1;
    }
    unsigned char sum[4];
    dx::checksum(bytes.data(), bytes.size(), sum);
    std::memcpy(bytes.data() + dx::kChecksumAt, sum, 4);

    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = pwrite(fd, bytes.data() + done, bytes.size() - done, static_cast<off_t>(done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            werror(n < 0 ? errno : ENOSPC, "write '%s'", where());
            drop_image();
            return -1;
        }
        done += static_cast<size_t>(n);
    }
    if (ftruncate(fd, static_cast<off_t>(bytes.size())) != 0) {
        werror(errno, "write '%s'", where());
        drop_image();
        return -1;
    }
    drop_image();
    return 0;
}

int emit_dirindex(int fd) {
    emit_header(fd);
    emit_direntries(fd);
    emit_hashtable(fd);
    return emit_checksum(fd);
}

// ---- pool, entries, name lists ---------------------------------------------

struct poolstr *pool_add(const char *text) {
    if (pool == nullptr)
        pool_index.clear();
    auto it = pool_index.find(text);
    if (it != pool_index.end())
        return it->second;
    auto *p = static_cast<struct poolstr *>(xmalloc(sizeof(struct poolstr)));
    p->text = xstrdup(text);
    p->next = pool;
    pool = p;
    pool_index.emplace(p->text, p);
    return p;
}

struct dent *free_dent(struct dent *list) {
    while (list) {
        struct dent *next = list->next;
        std::free(list->name);
        std::free(list);
        list = next;
    }
    return nullptr;
}

struct poolstr *free_poolstr(struct poolstr *list) {
    while (list) {
        struct poolstr *next = list->next;
        auto it = pool_index.find(list->text);
        if (it != pool_index.end() && it->second == list)
            pool_index.erase(it);
        std::free(list->text);
        std::free(list);
        list = next;
    }
    return nullptr;
}

void namelist_add(const char *name, struct namelist **head) {
    push_name(name, nullptr, head);
}

void namelist_add_inode(const char *name, void *key, struct namelist **head) {
    push_name(name, key, head);
}

int namelist_search(const char *name, struct namelist **head) {
    if (*head == nullptr)
        return 1;
    index_list(*head);
    if (!list_index.has_names) {
        for (struct namelist *n = *head; n; n = n->next)
            list_index.names.insert(n->name);
        list_index.has_names = true;
    }
    return list_index.names.count(name) ? 0 : 1;
}

char *namelist_search_inode(void *key, struct namelist **head) {
    if (*head == nullptr)
        return nullptr;
    index_list(*head);
    if (!list_index.has_keys) {
        for (struct namelist *n = *head; n; n = n->next)
            list_index.first_by_key.try_emplace(n->data, n->name);
        list_index.has_keys = true;
    }
    auto it = list_index.first_by_key.find(key);
    return it == list_index.first_by_key.end() ? nullptr : const_cast<char *>(it->second);
}

void namelist_clean(struct namelist **head) {
    if (*head && list_index.head == *head)
        list_index.forget();
    struct namelist *n = *head;
    while (n) {
        struct namelist *next = n->next;
        std::free(n->name);
        std::free(n);
        n = next;
    }
    *head = nullptr;
}

void clean_memory(void) {
    dlist = free_dent(dlist);
    dlist_end = nullptr;
    release_table();
    pool = free_poolstr(pool);
    pool_index.clear();
    namelist_clean(&rl_info);
}

int remove_list(void) {
    return remove_list_at(AT_FDCWD);
}

int remove_list_at(int dirfd) {
    if (rl_info && list_index.head == rl_info)
        list_index.forget();
    while (rl_info) {
        if (unlinkat(dirfd, rl_info->name, 0) != 0) {
            werror(errno, "can't remove '%s/%s'", where(), rl_info->name);
            return 1;
        }
        struct namelist *next = rl_info->next;
        std::free(rl_info->name);
        std::free(rl_info);
        rl_info = next;
    }
    return 0;
}

// ---- listing a directory ----------------------------------------------------

int scan_one(const char *name, int option, const char *template_root) {
    return scan_one_at(AT_FDCWD, name, option, template_root);
}

namespace {

// One entry of a directory being listed; templates serves the directory's
// template lookups.
int scan_entry(int dirfd, const char *name, int option, const char *template_root,
               kx::TemplateLookup &templates) {
    Candidate c;
    c.dirfd = dirfd;
    c.name = name;
    c.templates = &templates;
    if (fstatat(dirfd, name, &c.st, AT_SYMLINK_NOFOLLOW) != 0) {
        warning(errno, "can't stat '%s/%s'", where(), name);
        return 3;
    }
    size_t namelen = std::strlen(name);
    if (namelen > DENT_NAME_MAX) {
        warning(0, "Too long name '%s/%s', fix it", where(), name);
        return 3;
    }
    if (!S_ISDIR(c.st.st_mode) && c.st.st_nlink != 1) {
        if (kx::trace_on(4))
            debug_print(4, "Warning: hard-linked file '%s/%s'\n", where(), name);
        c.keep = true;
    }

    int rc;
    if (S_ISDIR(c.st.st_mode)) {
        ++dtot;
        rc = scan_directory_entry(c, template_root);
    } else if (S_ISREG(c.st.st_mode) && !(c.st.st_mode & S_ISVTX)) {
        if (kx::trace_on(4))
            debug_print(4, "WARNING: regular file '%s'\n", name);
        c.type = dx::kTypeFile;
        c.ino = static_cast<uint32_t>(uint64_t(c.st.st_ino) * 2);
        rc = 0;
    } else if (S_ISREG(c.st.st_mode)) {
        rc = scan_shortcut(c, template_root);
    } else if (S_ISLNK(c.st.st_mode)) {
        rc = scan_symlink(c, option, template_root);
    } else {
        if (kx::trace_on(4))
            debug_print(4, "Special file '%s/%s'\n", where(), name);
        rc = 3;
    }
    if (rc != 0)
        return rc;

    dx::append_entry(name, namelen, c.type, c.ino, c.target);
    if (c.removable)
        namelist_add(name, &rl_info);
    ++tot;
    return 0;
}

}  // namespace

int scan_one_at(int dirfd, const char *name, int option, const char *template_root) {
    kx::TemplateLookup templates;
    return scan_entry(dirfd, name, option, template_root, templates);
}

int scan_dir_for_index(const char *template_root, int option) {
    return scan_dir_for_index_at(AT_FDCWD, template_root, option, nullptr);
}

int scan_dir_for_index_at(int dirfd, const char *template_root, int option,
                          const char *dir_shown) {
    dx::set_current_path(dir_shown);
    dx::reset_model();

    // The names are read first and the directory closed before any entry is
    // looked at, so that shortcuts written in place of magic links (option
    // 0x10) can never show up in the listing being processed.
    std::vector<std::string> names;
    {
        kx::Fd fd(openat(dirfd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        kx::Dir dir(fd.ok() ? fdopendir(fd.get()) : nullptr);
        if (dir.ok())
            fd.release();
        if (!dir.ok()) {
            werror(errno, "Can't open dir '%s'", where());
            return 1;
        }
        errno = 0;
        while (struct dirent *de = readdir(dir.get())) {
            if (std::strcmp(de->d_name, ".kxpkgref") != 0 &&
                std::strcmp(de->d_name, DIRINDEX_NAME) != 0)
                names.emplace_back(de->d_name);
            errno = 0;
        }
        if (errno != 0) {
            werror(errno, "Can't open dir '%s'", where());
            return 1;
        }
    }

    size_t counted = 0;
    bool unlistable = false;
    kx::TemplateLookup templates;
    for (const std::string &name : names) {
        if (!kx::is_dot_or_dotdot(name.c_str()))
            ++counted;
        int rc = scan_entry(dirfd, name.c_str(), option, template_root, templates);
        if (rc == 1)
            return 1;
        if (rc == 3)
            unlistable = true;
    }
    if (unlistable || counted == 0)
        return 3;
    if (kx::trace_on(4))
        debug_print(4, "Scanned %d entries, %d dirs\n", static_cast<int>(tot), static_cast<int>(dtot));
    return 0;
}

int create_dirindex(const char *dir, const char *index_name, const char *template_root,
                    int option) {
    if (std::strcmp(dir, ".") != 0 && chdir(dir) != 0) {
        werror(errno, "Can't chdir to '%s'", dir);
        return 1;
    }
    return create_dirindex_at(AT_FDCWD, index_name, template_root, option, nullptr);
}

// The directory is marked before the entries the index took over are
// removed: an interrupted run then leaves either an unmarked directory whose
// index is a leftover (nothing removed yet; the dirindex tool replaces it) or
// a marked, complete index beside entries that merely shadow their own
// records. Removing first would let a re-run rebuild the leftover index
// without the entries already removed.
int create_dirindex_at(int dirfd, const char *index_name, const char *template_root, int option,
                       const char *dir_shown) {
    int rc = scan_dir_for_index_at(dirfd, template_root, option, dir_shown);
    if (rc != 0)
        return rc;

    select_prime();
    create_hash_table();
    // Never through a link, nor into a file that has names elsewhere: the
    // name lies in a directory the container owns.
    kx::Fd fd = kx::open_output(dirfd, index_name, O_RDWR, false, true, 0644);
    if (!fd.ok()) {
        werror(errno, "can't open '%s'", index_name);
        return 1;
    }
    if (dx::write_model(fd.release()) != 0) {
        unlinkat(dirfd, index_name, 0);
        return 1;
    }

    // The mark goes on the directory itself, through its descriptor.
    struct stat st;
    if (fstatat(dirfd, ".", &st, AT_SYMLINK_NOFOLLOW) != 0) {
        werror(errno, "can't stat '%s'", where());
        return 1;
    }
    if (fchmodat(dirfd, ".", (st.st_mode & 07777) | S_ISUID, 0) != 0) {
        werror(errno, "can't chmod '%s'", where());
        return 1;
    }
    if (remove_list_at(dirfd) != 0)
        return 1;
    return 0;
}

// ---- helpers for other modules ---------------------------------------------

int create_shortcut(const char *name, const char *content, int length, const struct stat *st) {
    // An existing name is reused only as a regular file of one name.
    return write_shortcut(kx::open_output(AT_FDCWD, name, O_RDWR, false, true, 0600), where(),
                          name, content, length, st);
}

int create_shortcut_at(int dirfd, const char *name, const char *content, int length,
                       const struct stat *st, const char *dir_shown) {
    return write_shortcut(kx::open_output(dirfd, name, O_RDWR, true, false, 0600),
                          dir_shown ? dir_shown : where(), name, content, length, st);
}

int correct_magic_uuid(char *text, const char *old_uuid, const char *new_uuid) {
    if (!text || !old_uuid || !new_uuid)
        return 0;
    size_t len = std::strlen(old_uuid);
    if (len != std::strlen(new_uuid)) {
        werror(0, "Source and destination UUID length are not equal");
        return 0;
    }
    if (!kx::is_magic(text))
        return 0;
    const char *p = text;
    while (*p == '/')
        ++p;
    if (p[0] != 'v' || p[1] != 'c' || p[2] != '/')
        return 0;
    p += 2;
    while (*p == '/')
        ++p;
    if (std::strncmp(p, old_uuid, len) != 0 || p[len] != '/')
        return 0;
    p += len;
    while (*p == '/')
        ++p;

    std::string fixed = std::string("////vc") + "/" + new_uuid + "/" + p;
    if (fixed.size() > MAGIC_TARGET_MAX) {
        werror(0, "Failed to correct link '%s'", text);
        return 0;
    }
    if (kx::trace_on(4))
        debug_print(4, "cache link '%s'\n", text);
    std::memcpy(text, fixed.c_str(), fixed.size() + 1);
    if (kx::trace_on(4))
        debug_print(4, "changed to cache link '%s'\n", text);
    return 1;
}
