// The area check scan: one pass over the container's tree root_dir, which
// classifies every entry by the KXFS conventions and hands magic links,
// shortcuts and dirindex files to correct.cpp (and to upgrade.cpp during an
// upgrade); and the small scan that loads the cow file names into the cow
// hash before it. This module only detects: it decides nothing about what
// is done to an entry.
//
// It relies on the paths and actions set by kxfsutil.cpp, and works with
// the current directory set to the directory being read. The tree belongs
// to a container: no symbolic link is ever followed (entries are examined
// with lstat, directories are opened without following a final link and
// must still be the directory lstat saw), and a pointer that climbs out of
// the template directory names nothing.
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
#include <string>
#include <string_view>

#include "internal.h"
#include "kxfsutil.h"

struct scan_info *info = nullptr;
volatile sig_atomic_t alarmed = 0;

#define KX_ASSERT(cond)                                                         \
    do {                                                                        \
        if (!(cond))                                                            \
            error(255, 0, "ASSERTION FAILED: %s(%d), function '%s()', condition: %s", \
                  "src/scan.cpp", __LINE__, __func__, #cond);                   \
    } while (0)

namespace {

constexpr unsigned kProgressSeconds = 5;

bool corrections_selected() {
    return (get_option() & OPT_CORR_MASK) != 0;
}

void push_dir(const std::string &path, const struct stat &st) {
    auto *node = static_cast<scan_node *>(xmalloc(sizeof(scan_node)));
    node->path = xstrdup(path.c_str());
    node->dev = st.st_dev;
    node->ino = st.st_ino;
    node->next = info->head;
    info->head = node;
    if (kxfsutil_debug_level > 3)
        debug_print(4, "Push dir %s\n", path.c_str());
    info->dirs++;
}

// Reads the target of the link name (lstat gave st): fatal when it cannot
// be read or its length is not the recorded one.
std::string read_link_text(const char *parent, const char *name, const struct stat &st) {
    std::string text(static_cast<size_t>(st.st_size) + 1, '\0');
    ssize_t n = ::readlink(name, text.data(), text.size());
    if (n < 0)
        error(1, errno, "Kxfsutil: readlink `%s/%s'", parent, name);
    if (n != st.st_size)
        error(1, 0, "Kxfsutil: readlink return wrong size :st.size=%d:readlink=%d",
              static_cast<int>(st.st_size), static_cast<int>(n));
    text.resize(static_cast<size_t>(n));
    return text;
}

// A magic link: builds the state word and hands it on.
void check_magic_link(const char *name, const std::string &path, struct stat &st,
                      const std::string &text) {
    int state = 0;
    char *cow_name = vefs_path_to_name(text.c_str());
    std::string cow_path = kx::join(cow_dir, cow_name);
    std::free(cow_name);
    const char *rest = text.c_str() + MAGIC_PREFIX_LEN;
    std::string template_path = kx::join(temp_dir, rest);
    struct stat tst {}, cst {};
    bool outside = leaves_template(rest);
    if (outside)
        warning(0, "'template' '%s' is outside the template directory", template_path.c_str());

    if (std::strcmp(name, DIRINDEX_NAME) == 0) {
        if (!outside) {
            int r = is_directory(template_path.c_str(), &tst);
            if (r == 1)
                state |= LINK_TEMPLATE;
            else if (r < 0)
                warning(0, "'template' '%s' not directory", template_path.c_str());
        }
    } else {
        if (!outside) {
            int r = is_regular_file(template_path.c_str(), &tst);
            if (r == 1)
                state |= LINK_TEMPLATE;
            else if (r == 0)
                warning(0, "'template' '%s' not regular", template_path.c_str());
        }
        int r = is_regular_file(cow_path.c_str(), &cst);
        if (r == 1)
            state |= LINK_COW;
        else if (r == 0)
            warning(0, "'cow' '%s' not regular", cow_path.c_str());
    }
    check_template_pointer(path.c_str(), text.c_str());
    info->links++;
    if (st.st_mode & COW_MARK)
        state |= LINK_MARK;

    unsigned int opts = get_option();
    if (opts & OPT_CORR_MASK)
        check_magic(state, path.c_str(), &st, template_path.c_str(), &tst, cow_path.c_str(),
                    &cst);
    if (opts & OPT_OPT_MASK)
        optimize_magic(state, path.c_str(), &st, template_path.c_str(), &tst, cow_path.c_str(),
                       &cst);
    if (opts & OPT_UPGRADE)
        upgrade_magic(state, text.c_str(), path.c_str(), &st, template_path.c_str(), &tst,
                      cow_path.c_str(), &cst);
}

// A regular file with the sticky bit. Returns false when it is no
// shortcut after all: its content is not a magic target (too short, too
// long, holding a zero byte, or not starting with the prefix).
bool check_shortcut(const char *name, const std::string &path, const struct stat &st) {
    if (st.st_size < MAGIC_PREFIX_LEN || st.st_size > MAGIC_TARGET_MAX)
        return false;
    std::string content(static_cast<size_t>(st.st_size) + 1, '\0');
    int n = read_shortcut(name, content.data(), content.size());
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
    if (kxfsutil_debug_level > 3)
        debug_print(4, "%s -> %s\n", name, content.c_str());

    const char *rest = content.c_str() + MAGIC_PREFIX_LEN;
    std::string template_path = kx::join(temp_dir, rest);
    struct stat tst;
    if (leaves_template(rest)) {
        warning(0, "'%s'->'%s' is outside the template directory", name, content.c_str());
        correct(CORR_LINK, 0, 0, path.c_str(), nullptr);
    } else if (::lstat(template_path.c_str(), &tst) != 0) {
        warning(0, "'%s'->'%s' not found", name, content.c_str());
        correct(CORR_LINK, 0, 0, path.c_str(), nullptr);
    }
    check_template_pointer(name, content.c_str());
    return true;
}

// Makes room for the repaired copy of a dirindex: a stale copy of an
// earlier run is removed (it is never opened through a link). False when
// the name is held by something that cannot be removed.
bool free_repair_slot() {
    struct stat st;
    if (::lstat(DIRINDEX_TMP_NAME, &st) != 0)
        return errno == ENOENT;
    if (S_ISDIR(st.st_mode))
        return false;
    return ::unlink(DIRINDEX_TMP_NAME) == 0;
}

// The repaired copy is written only when the action may use it.
bool repair_copy_wanted() {
    int act = corr_act[CORR_LINK];
    if (act == ACT_UNSET)
        return false;
    return act == ACT_MOVE || act == ACT_REMOVE || (get_option() & OPT_INTERACTIVE);
}

// The dirindex file of the directory being read.
void check_dirindex(const std::string &path, const struct stat &st) {
    bool copy = repair_copy_wanted() && free_repair_slot();
    int r = fsck_dirindex(".", path.c_str(), copy ? DIRINDEX_TMP_NAME : nullptr, temp_dir);
    if (r == -1 && copy) {
        // The file could not be mapped, or the copy not be written: only
        // the first makes the file itself broken.
        ::unlink(DIRINDEX_TMP_NAME);
        copy = false;
        r = fsck_dirindex(".", path.c_str(), nullptr, temp_dir);
    }
    if (r < 0)
        correct(CORR_LINK, DIRINDEX_BROKEN, st.st_mode, path.c_str(), nullptr);
    else if (r > 0)
        correct(CORR_LINK, copy ? DIRINDEX_FIXED : DIRINDEX_UNFIXED, st.st_mode, path.c_str(),
                nullptr);
}

// Opens a directory of the tree without following a link at its end. A
// path too long for one call is opened one component at a time, none of
// them through a link.
int open_tree_dir(const char *path) {
    int fd = ::open(path, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd >= 0 || errno != ENAMETOOLONG)
        return fd;
    kx::Fd dir(::open("/", O_PATH | O_DIRECTORY | O_CLOEXEC));
    std::string_view rest(path);
    while (dir.ok() && !rest.empty()) {
        size_t slash = rest.find('/');
        std::string part(rest.substr(0, slash));
        rest = slash == std::string_view::npos ? std::string_view() : rest.substr(slash + 1);
        if (part.empty())
            continue;
        int flags = rest.empty() ? O_RDONLY : O_PATH;
        dir = kx::Fd(::openat(dir.get(), part.c_str(), flags | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    }
    return dir.release();
}

void show_progress(const char *parent, const char *name) {
    if (!progress || !alarmed)
        return;
    debug_print(0, "Checked %8d, checking \"%s/%s\"\n", info->dirs + info->files + info->links,
                parent, name);
    alarmed = 0;
    ::alarm(kProgressSeconds);
}

}  // namespace

void alarm_handler(int /*signal*/) {
    alarmed = alarmed + 1;
}

void check_item(const char *parent_name, const char *item_name) {
    KX_ASSERT(parent_name && item_name);
    const char *parent = parent_name, *name = item_name;
    struct stat st;
    if (::lstat(name, &st) != 0) {
        // Our own repaired copy may be listed after it took its place.
        if (errno == ENOENT && std::strcmp(name, DIRINDEX_TMP_NAME) == 0)
            return;
        error(1, errno, "Kxfsutil: lstat `%s/%s'", parent, name);
    }
    if (kxfsutil_debug_level > 3)
        debug_print(4, "Check item %s:ino %d:links %d:mode %#o\n", name,
                    static_cast<int>(st.st_ino), static_cast<int>(st.st_nlink),
                    static_cast<unsigned>(st.st_mode));
    show_progress(parent, name);
    std::string path = parent[0] == '\0' ? std::string(name) : kx::join(parent, name);

    if (S_ISLNK(st.st_mode)) {
        std::string text = read_link_text(parent, name, st);
        if (kxfsutil_debug_level > 3)
            debug_print(4, "%s -> %s\n", name, text.c_str());
        if (kx::is_magic(std::string_view(text)))
            check_magic_link(name, path, st, text);
    } else if (S_ISREG(st.st_mode)) {
        bool handled = false;
        bool marker = std::strcmp(name, DIRINDEX_NAME) == 0;
        if ((st.st_mode & COW_MARK) && corrections_selected()) {
            handled = check_shortcut(name, path, st);
            if (!handled && !marker)
                warning(0, "'%s' is not a shortcut: its content is not a magic target",
                        path.c_str());
        }
        struct stat dst;
        if (!handled && marker && corrections_selected() && ::lstat(".", &dst) == 0 &&
            (dst.st_mode & MAGIC_DIR_MARK))
            check_dirindex(path, st);
    } else if (S_ISDIR(st.st_mode)) {
        if ((get_option() & OPT_UPGRADE) && (st.st_mode & MAGIC_DIR_MARK)) {
            warning(0, "clearing SUID on '%s'", path.c_str());
            st.st_mode &= ~MAGIC_DIR_MARK;
            if (::chmod(name, st.st_mode & 07777) != 0)
                warning(errno, "can't chmod directory '%s'", path.c_str());
        }
        push_dir(path, st);
        return;
    }
    info->files++;
}

void scan_dir(const char *path, dev_t dev, ino_t ino) {
    if (kxfsutil_debug_level > 3)
        debug_print(4, "Scan dir begin :%s:\n", path);
    kx::Fd fd(open_tree_dir(path));
    if (!fd.ok())
        error(1, errno, "Kxfsutil: opendir '%s'", path);
    struct stat st;
    if (::fstat(fd.get(), &st) != 0)
        error(1, errno, "Kxfsutil: opendir '%s'", path);
    if (st.st_dev != dev || st.st_ino != ino)
        error(1, ESTALE, "Kxfsutil: opendir '%s'", path);
    if (::fchdir(fd.get()) != 0)
        error(1, errno, "Kxfsutil: chdir '%s'", path);
    kx::Dir dir(::fdopendir(fd.get()));
    if (!dir.ok())
        error(1, errno, "Kxfsutil: opendir '%s'", path);
    fd.release();
    while (struct dirent *e = ::readdir(dir.get())) {
        if (!kx::is_dot_or_dotdot(e->d_name))
            check_item(path, e->d_name);
    }
    dir.close();
    if (kxfsutil_debug_level > 3)
        debug_print(4, "Scan dir end :%s:\n", path);
}

void scan_mount_point(const char *area_dir, int veid) {
    struct sigaction sa {};
    sa.sa_handler = alarm_handler;
    sa.sa_flags = SA_RESTART;
    sigemptyset(&sa.sa_mask);
    ::sigaction(SIGALRM, &sa, nullptr);
    ::alarm(kProgressSeconds);
    if (kxfsutil_debug_level > 3)
        debug_print(4, "Scan mount point begin:%s:\n", root_dir);
    if (get_option() & OPT_UPGRADE)
        upgrade_prepare(area_dir, veid);

    check_item("", root_dir);
    while (scan_node *node = info->head) {
        info->head = node->next;
        scan_dir(node->path, node->dev, node->ino);
        std::free(node->path);
        std::free(node);
    }
    if (::chdir(curr_path) != 0)
        error(1, errno, "Kxfsutil: chdir '%s'", curr_path);
    if (kxfsutil_debug_level > 3)
        debug_print(4, "Scan mount point end :%s:files %d:dirs %d\n", root_dir, info->files,
                    info->dirs);
    if (get_option() & OPT_UPGRADE)
        upgrade_cleanup();
}

void scan_cow_dir(void) {
    if (kxfsutil_debug_level > 3)
        debug_print(4, "Scan COW dir begin :%s:\n", cow_dir);
    init_cow_hash();
    kx::Dir dir(::opendir(cow_dir));
    if (!dir.ok())
        error(1, errno, "Kxfsutil: opendir '%s'", cow_dir);
    while (struct dirent *e = ::readdir(dir.get())) {
        if (!kx::is_dot_or_dotdot(e->d_name))
            add_cow_item(e->d_name);
    }
    dir.close();
    if (kxfsutil_debug_level > 3)
        debug_print(4, "Scan COW dir end :%s:\n", cow_dir);
}
