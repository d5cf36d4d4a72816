// The area check scan: one pass over the container's tree root_dir, which
// classifies every entry by the KXFS conventions and hands magic links,
// shortcuts and dirindex files to correct.cpp (and magic links to
// upgrade.cpp during an upgrade); the small scan that loads the cow file
// names into the cow hash before it; and, when the run may take cow files
// away, a count of the links that claim each cow file, made before the
// walk. This module detects; what is done to an entry is decided and done
// by the module it hands the entry to. The one change it makes itself is
// the upgrade's clearing of a directory's magic mark, made through the
// descriptor of the very directory it examined, before the walk enters it.
//
// It relies on the area handle and the actions set by check_state.cpp. The
// tree belongs to a container: the walk descends by descriptor, reopening
// every pending directory beneath the root's descriptor without following
// a link and refusing one that is no longer the inode its parent listed;
// entries are examined with fstatat on their directory's descriptor and
// handed on as (descriptor, name); no working directory is ever changed.
// A pointer that climbs out of the template directory names nothing.
//
// The walk keeps an explicit stack of pending directories; per entry it
// makes a bounded number of system calls.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <set>
#include <system_error>
#include <thread>
#include <tuple>
#include <string_view>
#include <unordered_map>
#include <unordered_set>

#include "area.h"
#include "host.h"
#include "walk.h"
#include "check.h"
#include "messages.h"

struct scan_info *info = nullptr;
volatile sig_atomic_t alarmed = 0;

namespace {

constexpr unsigned kProgressSeconds = 5;

// The links that claim one cow file, counted before the walk: the names
// not yet met, the marked ones among them, the marked link inodes that
// still need it, and the inode of the marked link met last (the one that
// gets the cow file's own inode; earlier links get copies).
struct claim_count {
    int names = 0;
    int marked_names = 0;
    int marked_links = 0;
    kx::InodeKey owner{};
    bool needed = false;
};
std::unordered_map<std::string, claim_count> claims;
bool claims_counted = false;
// Links of several names: the names the count met, and the link count
// it saw.
struct name_count {
    nlink_t seen = 0;
    nlink_t links = 0;
    nlink_t met = 0;  // by the walk
};
std::unordered_map<kx::InodeKey, name_count, kx::InodeKeyHash> link_names;

// What one count of the claims finds, before it becomes the run's: a
// directory it could not list to its end leaves it incomplete.
struct claim_census {
    std::unordered_map<std::string, claim_count> claims;
    std::unordered_map<kx::InodeKey, name_count, kx::InodeKeyHash> link_names;
    int unlisted_error = 0;
    std::string unlisted;
};

// The count found becomes the run's. An incomplete count would let a cow
// file go while a link not counted still needs it: the run ends first.
void adopt(claim_census &found) {
    if (found.unlisted_error != 0)
        error(1, found.unlisted_error, "Kxfsutil: opendir '%s'", found.unlisted.c_str());
    claims = std::move(found.claims);
    link_names = std::move(found.link_names);
    claims_counted = true;
}

// The read-ahead stage under the walk that runs, if any.
readahead_stage *walk_ra = nullptr;

// A stage under one walk of the tree, stopped when the walk ends.
using Readahead = std::unique_ptr<readahead_stage, void (*)(readahead_stage *)>;
Readahead tree_readahead(int flags) {
    return Readahead(walk_readahead(area->root.fd, flags), stop_readahead);
}

bool corrections_selected() {
    return (get_option() & OPT_CORR_MASK) != 0;
}

void tell_entry(entry_kind kind, const std::string &path, const struct stat &st) {
    if (observer && observer->entry)
        observer->entry(observer->data, kind, path.c_str(), &st);
}

// The walk of the tree that runs.
kx::TreeWalk *tree_walk = nullptr;

// A directory to be scanned (path as messages show it): the walk takes it
// on when it is a subdirectory (name) of the one being read.
void push_dir(const std::string &path, const char *name, const struct stat &st) {
    if (name)
        tree_walk->push(name, st);
    if (kx::trace_on(4))
        debug_print(4, "Push dir %s\n", path.c_str());
    info->dirs++;
}

// Template objects, looked up from the directory the last pointer named.
// Reset for every run.
kx::TemplateLookup template_lookup;

// The template object of a pointer: 1 of the wanted type (S_IFREG or
// S_IFDIR), 0 another, -1 none.
int template_object(const std::string &path, mode_t type, struct stat *st) {
    if (template_lookup.lstat(path, st) != 0)
        return -1;
    return (st->st_mode & S_IFMT) == type ? 1 : 0;
}

// Reads the target of the link name (fstatat gave st): fatal when it cannot
// be read or its length is not the recorded one.
std::string read_link_text(const item_ref &at, const struct stat &st) {
    std::string text(static_cast<size_t>(st.st_size) + 1, '\0');
    ssize_t n = ::readlinkat(at.dirfd, at.name, text.data(), text.size());
    if (n < 0)
        error(1, errno, "Kxfsutil: readlink `%s/%s'", at.dir_path, at.name);
    if (n != st.st_size)
        error(1, 0, "Kxfsutil: readlink return wrong size :st.size=%d:readlink=%d",
              static_cast<int>(st.st_size), static_cast<int>(n));
    text.resize(static_cast<size_t>(n));
    return text;
}

// The names cow_dir held when the walk began, when it could be listed
// whole. The run makes no cow file, so a name not among them is none.
std::unique_ptr<kx::NameFilter> cow_listed;

// A regular file of cow_dir: 1, another object 0, none -1.
int cow_file_stat(const char *name, struct stat *st) {
    if (cow_listed && !cow_listed->may_hold(name))
        return -1;
    if (::fstatat(area->cow.fd, name, st, AT_SYMLINK_NOFOLLOW) != 0)
        return -1;
    return S_ISREG(st->st_mode) ? 1 : 0;
}

// A magic link: builds the state word and hands it on.
void check_magic_link(const item_ref &at, const std::string &path, struct stat &st,
                      const std::string &text) {
    int state = 0;
    char *cow_name = vefs_path_to_name(text.c_str());
    if ((get_option() & OPT_UPGRADE) && upgrade_settle(cow_name, st) &&
        ::fstatat(at.dirfd, at.name, &st, AT_SYMLINK_NOFOLLOW) != 0)
        error(1, errno, "Kxfsutil: lstat `%s/%s'", at.dir_path, at.name);
    std::string cow_path = kx::join(cow_dir, cow_name);
    const char *rest = text.c_str() + MAGIC_PREFIX_LEN;
    std::string template_path = kx::join(temp_dir, rest);
    struct stat tst {}, cst {};
    bool outside = leaves_template(rest);
    if (outside)
        warning(0, "'template' '%s' is outside the template directory", template_path.c_str());

    bool marker = std::strcmp(at.name, DIRINDEX_NAME) == 0;
    if (marker) {
        if (!outside) {
            int r = template_object(template_path, S_IFDIR, &tst);
            if (r == 1)
                state |= LINK_TEMPLATE;
            else if (r < 0)
                warning(0, "'template' '%s' not directory", template_path.c_str());
        }
    } else {
        if (!outside) {
            int r = template_object(template_path, S_IFREG, &tst);
            if (r == 1)
                state |= LINK_TEMPLATE;
            else if (r == 0)
                warning(0, "'template' '%s' not regular", template_path.c_str());
        }
        int r = cow_file_stat(cow_name, &cst);
        if (r == 1)
            state |= LINK_COW;
        else if (r == 0)
            warning(0, "'cow' '%s' not regular", cow_path.c_str());
    }
    check_template_pointer(path.c_str(), text.c_str());
    info->links++;
    if (st.st_mode & COW_MARK)
        state |= LINK_MARK;
    tell_entry(marker ? ENTRY_MARKER_LINK : ENTRY_MAGIC_LINK, path, st);

    // What the other claims on the cow file leave to this one.
    bool marked = state & LINK_MARK;
    bool scratch_needed = false;
    int scratch_left = marked ? 1 : 0;
    kx::InodeKey key{st.st_dev, st.st_ino};
    name_count *names = nullptr;
    if (st.st_nlink > 1) {
        auto it = link_names.find(key);
        names = it == link_names.end() ? nullptr : &it->second;
    }
    cow_claim claim{false,         true,           true, true,
                    names == nullptr || names->seen - names->met <= 1,
                    &scratch_left, &scratch_needed};
    claim_count *count = nullptr;
    if (claims_counted && (state & LINK_COW)) {
        auto it = claims.find(cow_name);
        if (it != claims.end()) {
            count = &it->second;
            claim.counted = true;
            claim.last = count->names <= 1;
            claim.last_marked = count->marked_names - (marked ? 1 : 0) <= 0;
            claim.owner = count->owner == key;
            claim.marked_left = &count->marked_links;
            claim.needed = &count->needed;
        }
    }

    const magic_link link{.state = state,
                          .text = text.c_str(),
                          .path = path.c_str(),
                          .item = relative_name(path.c_str(), root_dir),
                          .at = &at,
                          .link_stat = &st,
                          .template_path = template_path.c_str(),
                          .template_stat = &tst,
                          .cow = cow_name,
                          .cow_path = cow_path.c_str(),
                          .cow_stat = &cst,
                          .claim = &claim};
    unsigned int opts = get_option();
    if (opts & OPT_CORR_MASK)
        check_magic(link);
    if (opts & OPT_OPT_MASK)
        optimize_magic(link);
    if (opts & OPT_UPGRADE)
        upgrade_magic(link);
    std::free(cow_name);
    if (count) {
        count->names--;
        if (marked)
            count->marked_names--;
    }
    if (names)
        names->met++;
}

// A regular file with the sticky bit. Returns false when it is no
// shortcut after all: its content is not a magic target (too short, too
// long, holding a zero byte, or not starting with the prefix).
bool check_shortcut(const item_ref &at, const std::string &path, const struct stat &st) {
    if (st.st_size < MAGIC_PREFIX_LEN || st.st_size > MAGIC_TARGET_MAX)
        return false;
    std::string content(static_cast<size_t>(st.st_size) + 1, '\0');
    int n = read_shortcut_at(at.dirfd, at.name, content.data(), content.size());
    if (n == -1 || n == -2) {
        warning(errno, "can't read shortcut '%s'", path.c_str());
        return true;
    }
    if (n < 0)
        return false;  // grew past its recorded size: no pointer fits
    content.resize(static_cast<size_t>(n));
    if (!kx::is_magic(std::string_view(content)) ||
        content.find('\0') != std::string::npos)
        return false;
    if (kx::trace_on(4))
        debug_print(4, "%s -> %s\n", at.name, content.c_str());
    tell_entry(ENTRY_SHORTCUT, path, st);

    const char *rest = content.c_str() + MAGIC_PREFIX_LEN;
    std::string template_path = kx::join(temp_dir, rest);
    struct stat tst;
    if (leaves_template(rest)) {
        warning(0, "'%s'->'%s' is outside the template directory", at.name, content.c_str());
        correct(CORR_LINK, 0, 0, path.c_str(), nullptr, &at);
    } else if (template_lookup.lstat(template_path, &tst) != 0) {
        warning(0, "'%s'->'%s' not found", at.name, content.c_str());
        correct(CORR_LINK, 0, 0, path.c_str(), nullptr, &at);
    }
    check_template_pointer(at.name, content.c_str());
    return true;
}

// The dirindex file of the directory at.dirfd, checked once.
void check_dirindex(const item_ref &at, const std::string &path, const struct stat &st) {
    tell_entry(ENTRY_MARKER_INDEX, path, st);
    struct stat mst;
    void *map = mmap_file_at(at.dirfd, DIRINDEX_NAME, &mst, at.dir_path);
    int r = -1;
    if (map == nullptr) {
        werror(errno, "can't mmap dirindex file '%s/%s'", at.dir_path, path.c_str());
    } else {
        kx::Mapping mapping(map, static_cast<size_t>(mst.st_size));
        r = fsck_in_core(path.c_str(), map, mapping.size(), nullptr, temp_dir);
        if (mapping.unmap() != 0)
            werror(errno, "can't munmap dirindex file '%s/%s'", at.dir_path, path.c_str());
    }
    // The records the check kept stay with the dirindex writer until
    // correct() has decided whether a repaired copy is made of them.
    if (r < 0)
        correct(CORR_LINK, DIRINDEX_BROKEN, st.st_mode, path.c_str(), nullptr, &at);
    else if (r > 0)
        correct(CORR_LINK, DIRINDEX_LOST, st.st_mode, path.c_str(), nullptr, &at);
    clean_memory();
}

void show_progress(const char *parent, const char *name) {
    if (!progress || !alarmed)
        return;
    debug_print(0, "Checked %8d, checking \"%s/%s\"\n", info->dirs + info->files + info->links,
                parent, name);
    alarmed = 0;
    ::alarm(kProgressSeconds);
}

// Clears the magic-directory mark of an upgraded directory through a
// descriptor of the very directory that was examined.
void clear_dir_mark(int fd, const std::string &path, struct stat &st) {
    warning(0, "clearing SUID on '%s'", path.c_str());
    st.st_mode &= ~MAGIC_DIR_MARK;
    if (::fchmod(fd, st.st_mode & 07777) != 0) {
        warning(errno, "can't chmod directory '%s'", path.c_str());
        upgrade_step_failed();
    }
}

void check_directory(const item_ref &at, const std::string &path, struct stat &st) {
    tell_entry(ENTRY_DIR, path, st);
    if ((get_option() & OPT_UPGRADE) && (st.st_mode & MAGIC_DIR_MARK)) {
        // The very directory that was examined, or none.
        kx::Fd fd(::openat(at.dirfd, at.name,
                           O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
        struct stat now;
        int err = 0;
        if (!fd.ok() || ::fstat(fd.get(), &now) != 0)
            err = errno;
        else if (!kx::same_inode(now, st.st_dev, st.st_ino))
            err = ESTALE;
        if (err == 0) {
            clear_dir_mark(fd.get(), path, st);
        } else {
            warning(0, "clearing SUID on '%s'", path.c_str());
            warning(err, "can't chmod directory '%s'", path.c_str());
            upgrade_step_failed();
        }
    }
    push_dir(path, at.name, st);
}

// One entry of the directory being read.
void check_item(const item_ref &entry) {
    KX_ASSERT(entry.dir_path && entry.name);
    const char *parent = entry.dir_path, *name = entry.name;
    struct stat st;
    item_ref at = entry;
    at.st = &st;
    if (::fstatat(at.dirfd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
        // Our own temporary may be listed after it took its place.
        if (errno == ENOENT && is_own_temporary(name))
            return;
        error(1, errno, "Kxfsutil: lstat `%s/%s'", parent, name);
    }
    if (kx::trace_on(4))
        debug_print(4, "Check item %s:ino %d:links %d:mode %#o\n", name,
                    static_cast<int>(st.st_ino), static_cast<int>(st.st_nlink),
                    static_cast<unsigned>(st.st_mode));
    show_progress(parent, name);
    std::string path = kx::join(parent, name);

    if (S_ISLNK(st.st_mode)) {
        std::string text = read_link_text(at, st);
        if (kx::trace_on(4))
            debug_print(4, "%s -> %s\n", name, text.c_str());
        if (kx::is_magic(std::string_view(text)))
            check_magic_link(at, path, st, text);
        else
            tell_entry(ENTRY_SYMLINK, path, st);
    } else if (S_ISREG(st.st_mode)) {
        bool handled = false;
        bool marker = std::strcmp(name, DIRINDEX_NAME) == 0;
        if ((st.st_mode & COW_MARK) && corrections_selected()) {
            handled = check_shortcut(at, path, st);
            if (!handled && !marker)
                warning(0, "'%s' is not a shortcut: its content is not a magic target",
                        path.c_str());
        }
        struct stat dst;
        if (!handled && marker && corrections_selected() && ::fstat(at.dirfd, &dst) == 0 &&
            (dst.st_mode & MAGIC_DIR_MARK))
            check_dirindex(at, path, st);
        else if (!handled)
            tell_entry(ENTRY_FILE, path, st);
    } else if (S_ISDIR(st.st_mode)) {
        check_directory(at, path, st);
        return;
    } else {
        tell_entry(ENTRY_OTHER, path, st);
    }
    info->files++;
}

void scan_dir(kx::TreeWalk &walk) {
    const std::string path = walk.rel().empty() ? std::string(root_dir) : kx::join(root_dir, walk.rel());
    if (kx::trace_on(4))
        debug_print(4, "Scan dir begin :%s:\n", path.c_str());
    if (walk.fd() < 0)
        error(1, walk.error(), "Kxfsutil: opendir '%s'", path.c_str());
    item_ref at{walk.fd(), nullptr, path.c_str(), walk.rel().c_str(), nullptr};
    bool listed = walk.list(kx::Listing::streamed, [&at](const char *name, unsigned char) {
        at.name = name;
        check_item(at);
        return true;
    });
    if (!listed)
        error(1, errno, "Kxfsutil: opendir '%s'", path.c_str());
    if (kx::trace_on(4))
        debug_print(4, "Scan dir end :%s:\n", path.c_str());
}

// The root item: the tree's own directory, the first the walk reads.
void check_root() {
    struct stat st;
    if (area->root.fd < 0)
        error(1, area->root.error, "Kxfsutil: lstat `%s/%s'", "", root_dir);
    if (::fstat(area->root.fd, &st) != 0)
        error(1, errno, "Kxfsutil: lstat `%s/%s'", "", root_dir);
    if (kx::trace_on(4))
        debug_print(4, "Check item %s:ino %d:links %d:mode %#o\n", root_dir,
                    static_cast<int>(st.st_ino), static_cast<int>(st.st_nlink),
                    static_cast<unsigned>(st.st_mode));
    show_progress("", root_dir);
    tell_entry(ENTRY_DIR, root_dir, st);
    if ((get_option() & OPT_UPGRADE) && (st.st_mode & MAGIC_DIR_MARK))
        clear_dir_mark(area->root.fd, root_dir, st);
    push_dir(root_dir, nullptr, st);
}

// The type of an entry from its listing, or from fstatat when the listing
// does not say; st is filled when fstatat was asked.
unsigned entry_type(int dirfd, const char *name, unsigned char type, struct stat &st,
                    bool &stated) {
    stated = false;
    if (type != DT_UNKNOWN)
        return type;
    if (::fstatat(dirfd, name, &st, AT_SYMLINK_NOFOLLOW) != 0)
        return DT_UNKNOWN;
    stated = true;
    return IFTODT(st.st_mode);
}

// Counts, for every regular file of cow_dir, the magic links of the tree
// that claim it. A directory that cannot be opened is passed over here: the
// walk itself reports it; one that cannot be listed to its end leaves the
// count incomplete. Only reads, and touches no state of the run, so that
// it can run beside another walk; ra (or none) is its stage.
void count_claims(claim_census &found, readahead_stage *ra) {
    auto &claims = found.claims;
    auto &link_names = found.link_names;
    auto unlisted = [&found](const std::string &path) {
        found.unlisted_error = errno != 0 ? errno : EIO;
        found.unlisted = path;
    };
    std::unordered_set<std::string> cows;
    if (area->cow.fd >= 0 &&
        !kx::each_entry(area->cow.fd, kx::Listing::streamed, nullptr,
                        [&cows](const char *name, unsigned char type) {
                            struct stat st;
                            bool stated;
                            if (entry_type(area->cow.fd, name, type, st, stated) == DT_REG)
                                cows.insert(name);
                            return true;
                        }))
        return unlisted(cow_dir);
    if (cows.empty() || area->root.fd < 0)
        return;
    std::string text;
    std::set<std::tuple<std::string, dev_t, ino_t>> marked_inodes;
    kx::TreeWalk walk(area->root.fd, ra);
    while (walk.next()) {
        if (walk.fd() < 0)
            continue;
        const int dfd = walk.fd();
        bool listed = walk.list(kx::Listing::streamed, [&](const char *name, unsigned char type) {
            struct stat st;
            bool stated;
            unsigned t = entry_type(dfd, name, type, st, stated);
            if (t != DT_DIR && t != DT_LNK)
                return true;
            if (!stated && ::fstatat(dfd, name, &st, AT_SYMLINK_NOFOLLOW) != 0)
                return true;
            if (S_ISDIR(st.st_mode)) {
                walk.push(name, st);
                return true;
            }
            if (S_ISLNK(st.st_mode) && st.st_nlink > 1) {
                name_count &n = link_names[{st.st_dev, st.st_ino}];
                n.seen++;
                n.links = st.st_nlink;
            }
            if (!S_ISLNK(st.st_mode) || std::strcmp(name, DIRINDEX_NAME) == 0 ||
                !kx::read_link(dfd, name, st.st_size, text) ||
                !kx::is_magic(std::string_view(text)))
                return true;
            char *cow_name = vefs_path_to_name(text.c_str());
            if (cows.count(cow_name)) {
                claim_count &c = claims[cow_name];
                c.names++;
                if (st.st_mode & COW_MARK) {
                    c.marked_names++;
                    c.owner = {st.st_dev, st.st_ino};
                    // A link of several names is one link.
                    if (marked_inodes.insert({cow_name, st.st_dev, st.st_ino}).second)
                        c.marked_links++;
                }
            }
            std::free(cow_name);
            return true;
        });
        if (!listed) {
            int err = errno;
            std::string path = walk.rel().empty() ? std::string(root_dir) : kx::join(root_dir, walk.rel());
            errno = err;
            return unlisted(path);
        }
    }
}

// Whether the run may take a cow file from the links that claim it.
bool claims_matter() {
    if (observer)
        return false;
    return opt_act[OPTIM_REPLACE] == ACT_DO || opt_act[OPTIM_EMPTY] == ACT_DO ||
           (get_option() & OPT_UPGRADE);
}

}  // namespace

void alarm_handler(int /*signal*/) {
    alarmed = alarmed + 1;
}

void scan_mount_point(const char *area_dir, int veid) {
    struct sigaction sa {};
    sa.sa_handler = alarm_handler;
    sa.sa_flags = SA_RESTART;
    sigemptyset(&sa.sa_mask);
    ::sigaction(SIGALRM, &sa, nullptr);
    ::alarm(kProgressSeconds);
    if (kx::trace_on(4))
        debug_print(4, "Scan mount point begin:%s:\n", root_dir);
    claims_counted = false;
    claims.clear();
    link_names.clear();
    bool counting = claims_matter();
    if (get_option() & OPT_UPGRADE) {
        // A new upgrade first walks the area for reserved names, and
        // changes nothing below root or cow_dir before the walk below: with
        // read-ahead, the claims are counted beside that walk, on a thread
        // of their own. The thread owns what it uses, so that a fatal end
        // of the walk frees nothing under it.
        std::thread beside;
        std::shared_ptr<claim_census> census;
        if (counting && !upgrade_resumed()) {
            std::shared_ptr<readahead_stage> ra(
                walk_readahead(area->root.fd, READAHEAD_LINKS), stop_readahead);
            if (ra) {
                census = std::make_shared<claim_census>();
                try {
                    beside = std::thread([census, ra] { count_claims(*census, ra.get()); });
                    counting = false;
                } catch (const std::system_error &) {
                    // No thread to spare: counted after the preparation.
                }
            }
        }
        upgrade_prepare(area_dir, veid, [&] {
            if (!beside.joinable())
                return;
            beside.join();
            adopt(*census);
        });
    }
    if (counting) {
        claim_census census;
        count_claims(census, tree_readahead(READAHEAD_LINKS).get());
        adopt(census);
    }

    // The walk reads every link text, and the shortcuts and dirindex files
    // when it checks them; a magic link's cow file is looked at right after
    // (its data too when the run may compare or move it).
    unsigned int opts = get_option();
    Readahead ra = tree_readahead(READAHEAD_LINKS |
                                  (corrections_selected() ? READAHEAD_SHORTCUTS | READAHEAD_INDEXES : 0));
    readahead_cow_dir(ra.get(), area->cow.fd, vefs_version == 0,
                      (opts & (OPT_UPGRADE | OPT_OPT_MASK)) != 0);
    walk_ra = ra.get();
    template_lookup = kx::TemplateLookup();
    cow_listed.reset();
    if (area->cow.fd >= 0) {
        auto names = std::make_unique<kx::NameFilter>();
        if (names->add_listing(area->cow.fd))
            cow_listed = std::move(names);
    }
    kx::TreeWalk walk(area->root.fd, walk_ra);
    tree_walk = &walk;
    check_root();
    while (walk.next())
        scan_dir(walk);
    tree_walk = nullptr;
    walk_ra = nullptr;
    ra.reset();
    template_lookup = kx::TemplateLookup();
    cow_listed.reset();
    if (kx::trace_on(4))
        debug_print(4, "Scan mount point end :%s:files %d:dirs %d\n", root_dir, info->files,
                    info->dirs);
    if (get_option() & OPT_UPGRADE)
        upgrade_cleanup();
}

void scan_cow_dir(void) {
    if (kx::trace_on(4))
        debug_print(4, "Scan COW dir begin :%s:\n", cow_dir);
    init_cow_hash();
    if (area->cow.fd < 0)
        error(1, area->cow.error, "Kxfsutil: opendir '%s'", cow_dir);
    bool listed = kx::each_entry(area->cow.fd, kx::Listing::streamed, nullptr,
                                 [](const char *name, unsigned char) {
                                     add_cow_item(name);
                                     return true;
                                 });
    if (!listed)
        error(1, errno, "Kxfsutil: opendir '%s'", cow_dir);
    if (kx::trace_on(4))
        debug_print(4, "Scan COW dir end :%s:\n", cow_dir);
}

bool release_claim(const cow_claim *claim, bool whole) {
    if ((whole || claim->last_name) && *claim->marked_left > 0)
        --*claim->marked_left;
    return *claim->marked_left <= 0 && !*claim->needed;
}

bool names_accounted(const struct stat &link_stat) {
    if (link_stat.st_nlink <= 1)
        return true;
    if (!claims_counted)
        return false;
    auto it = link_names.find({link_stat.st_dev, link_stat.st_ino});
    return it != link_names.end() && it->second.seen >= it->second.links;
}

void lost_cow_pass(void) {
    while (const char *name = first_cow_item()) {
        std::string cow_path = kx::join(cow_dir, name);
        correct(CORR_COW, 0, 0, nullptr, cow_path.c_str(), nullptr);
        remove_cow_item(name);
    }
}
