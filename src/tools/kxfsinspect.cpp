// kxfsinspect: a read-only look inside dirindex files, magic targets and
// private areas, for an operator or a monitoring script.
//
//   dirindex  the header, bucket table and records of one dirindex file and
//             the findings of the library's own structural check;
//   pointer   what a magic target names: its template path, its cache-link
//             parts, its cow file names in both schemes, the template bound;
//   entry     which file on disk holds what a container sees at a path;
//   area      what an area holds and what the checker would report in it:
//             the checker's own scan, run with an observer that counts
//             every entry and finding instead of acting on it.
//
// Every subcommand fills one JSON document; --json prints it, otherwise a
// text renderer prints it for a person. A subcommand is one row of the
// table near the end: a run function and a renderer.
//
// Nothing is ever changed. Files are opened read-only, no-follow,
// non-blocking and without access-time updates, and checked with fstat; a
// fifo or a device is never opened. An area is reached through descriptors,
// one component at a time and never through a link, in a private read-only
// view of it where the kernel grants one (see read_only_view).

#include "inspect.h"
#include "dirindex_format.h"
#include "area.h"
#include "host.h"
#include "walk.h"
#include "check.h"
#include "libkxctl.h"
#include "libkxfsutil.h"
#include "unfinished.h"

#include <fcntl.h>
#include <sched.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

using json = nlohmann::json;
namespace dx = kx::dirindex;

namespace {

constexpr const char *program_name = "kxfsinspect";
constexpr const char *program_version = "1.0.0";

using namespace kxinspect;

// The bytes of a message the library printed with its names escaped
// (\xNN and \\), for a report that escapes them itself.
std::string unescaped(std::string_view s) {
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '\\' && i + 1 < s.size() && s[i + 1] == '\\') {
            out += '\\';
            ++i;
        } else if (s[i] == '\\' && i + 3 < s.size() && s[i + 1] == 'x' &&
                   std::isxdigit(static_cast<unsigned char>(s[i + 2])) &&
                   std::isxdigit(static_cast<unsigned char>(s[i + 3]))) {
            out += static_cast<char>(std::stoi(std::string(s.substr(i + 2, 2)), nullptr, 16));
            i += 3;
        } else {
            out += s[i];
        }
    }
    return out;
}

// ---- the way into an area ---------------------------------------------------
// The library's area handle: the area path opened as given, everything
// below it opened without following a link.

struct AreaCloser {
    void operator()(struct kxfs_area *a) const { close_area(a); }
};

struct AreaDirs {
    std::string path;       // the area, absolute and physical
    std::string tree_path;  // where VERSION, root and cow lie
    int layout = 0;
    bool read_only_view = false;
    std::unique_ptr<struct kxfs_area, AreaCloser> handle;
    int top() const { return handle->area.fd; }
    int tree() const { return handle->tree.fd; }
    int root() const { return handle->root.fd; }
    int cow() const { return handle->cow.fd; }
};

// Lets this process see the area through a read-only bind mount without
// access-time updates, in a mount namespace of its own that ends with the
// process: whatever is read below it, the area's content and times stay as
// they were (reading a link's text would otherwise touch its access time).
// Needs CAP_SYS_ADMIN; without it the reads go to the area itself.
bool read_only_view(const std::string &path) {
    if (::unshare(CLONE_NEWNS) != 0)
        return false;
    if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        return false;
    if (::mount(path.c_str(), path.c_str(), nullptr, MS_BIND | MS_REC, nullptr) != 0)
        return false;
    return ::mount(nullptr, path.c_str(), nullptr,
                   MS_REMOUNT | MS_BIND | MS_RDONLY | MS_NOATIME | MS_NOSUID | MS_NODEV | MS_NOEXEC,
                   nullptr) == 0;
}

// A directory name beneath dirfd, never through a link, never a fifo: a
// link or a file planted in its place is refused by name.
kx::Fd open_area_dir(int dirfd, const char *name, const std::string &path) {
    kx::Fd fd(kx::open_beneath(dirfd, name, O_RDONLY | O_DIRECTORY | O_NONBLOCK));
    if (!fd.ok()) {
        int err = errno;
        struct stat st;
        if (::fstatat(dirfd, name, &st, AT_SYMLINK_NOFOLLOW) == 0 && !S_ISDIR(st.st_mode))
            unreadable("'" + path + "' is not a directory (" + type_name(st.st_mode) + ")");
        unreadable(quoted_error("can't open", path, err));
    }
    return fd;
}

// A top directory the handle could not open (name below parent_fd).
[[noreturn]] void refuse_area_dir(const struct kxfs_area_dir &d, int parent_fd, const char *name) {
    struct stat st;
    if (parent_fd >= 0 && ::fstatat(parent_fd, name, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
        !S_ISDIR(st.st_mode))
        unreadable("'" + std::string(d.path) + "' is not a directory (" + type_name(st.st_mode) + ")");
    unreadable(quoted_error("can't open", d.path, d.error != 0 ? d.error : ENOENT));
}

void open_private_area(const char *arg, AreaDirs &area) {
    char *real = ::realpath(arg, nullptr);
    if (!real)
        unreadable(quoted_error("can't find the private area", arg, errno));
    area.path = real;
    std::free(real);
    area.read_only_view = read_only_view(area.path);
    area.handle.reset(open_area(area.path.c_str()));
    if (!area.handle)
        unreadable(quoted_error("can't open the private area", area.path, errno));
    const struct kxfs_area &h = *area.handle;
    area.layout = h.layout;
    if (area.layout >= 5)
        unreadable("Private area is based on hdimage device. KXFS is prohibited.");
    area.tree_path = h.tree.path;
    if (h.tree.fd < 0)
        refuse_area_dir(h.tree, h.area.fd, "fs");
    if (h.root.fd < 0)
        refuse_area_dir(h.root, h.tree.fd, "root");
    if (h.cow.fd < 0)
        refuse_area_dir(h.cow, h.tree.fd, "cow");
}

// The text of the link name beneath dirfd (lstat gave st).
std::string link_text(int dirfd, const char *name, const struct stat &st, const std::string &shown_path) {
    std::string text;
    if (!kx::read_link(dirfd, name, st.st_size, text))
        unreadable(quoted_error("can't read the link", shown_path, errno));
    return text;
}

// ---- the entry report -------------------------------------------------------

struct EntryLookup {
    AreaDirs &area;
    std::string tdir;  // the template directory, physical
    bool md5;          // the area's cow naming scheme
    json &doc;
};

void set_problem(json &doc, const char *problem) {
    doc["problem"] = problem;
}

// Resolves the rest of a path below a template directory: the container
// sees the template's own entries there.
void walk_template(EntryLookup &lk, std::string tpath, const std::vector<std::string> &parts,
                   size_t from, const std::string &via) {
    json &doc = lk.doc;
    doc["via"] = text_value(via);
    for (size_t i = from; i < parts.size(); ++i) {
        tpath += "/" + parts[i];
        struct stat st;
        if (::lstat(tpath.c_str(), &st) != 0) {
            doc["holder"] = "nothing";
            return;
        }
        bool last = i + 1 == parts.size();
        if (last || !S_ISDIR(st.st_mode)) {
            doc["holder"] = last ? "template" : S_ISLNK(st.st_mode) ? "symlink" : "nothing";
            doc["template_path"] = text_value(tpath);
            doc["type"] = type_name(st.st_mode);
            if (last)
                doc["reads"] = text_value(tpath);
            return;
        }
    }
}

// After a pointer (magic link, shortcut, dirindex record) at position i:
// the path goes on below the template object when that is a directory.
void follow_pointer(EntryLookup &lk, const std::string &tpath, const std::vector<std::string> &parts,
                    size_t i, const std::string &via) {
    struct stat st;
    if (::lstat(tpath.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        lk.doc["holder"] = "nothing";
        return;
    }
    json pointer = lk.doc;
    lk.doc = json{{"pointer", std::move(pointer)}};
    walk_template(lk, tpath, parts, i + 1, via);
}

// A magic link at rel (the last component, or a step on the way); st is
// its own lstat record, whose sticky bit is the cow mark.
void magic_link(EntryLookup &lk, const struct stat &st, const std::string &text, const std::string &rel,
                const std::vector<std::string> &parts, size_t i) {
    json &doc = lk.doc;
    std::string rest = text.substr(MAGIC_PREFIX_LEN);
    std::string tpath = kx::join(lk.tdir, rest);
    bool outside = leaves_template(rest.c_str()) != 0;
    doc["holder"] = "magic_link";
    doc["at"] = text_value(rel);
    doc["target"] = text_value(text);
    doc["template_path"] = text_value(tpath);
    doc["template_type"] = outside ? json(nullptr) : host_type(tpath);
    if (i + 1 < parts.size()) {
        if (outside) {
            doc["holder"] = "nothing";
            set_problem(doc, "outside the template directory");
        } else {
            follow_pointer(lk, tpath, parts, i, rel);
        }
        return;
    }
    std::unique_ptr<char, kx::FreeDeleter> cow_name(lk.md5 ? md5_name(text.c_str())
                                                           : legacy_name(text.c_str()));
    struct stat cst;
    bool cow = ::fstatat(lk.area.cow(), cow_name.get(), &cst, AT_SYMLINK_NOFOLLOW) == 0;
    bool cow_regular = cow && S_ISREG(cst.st_mode);
    bool marked = (st.st_mode & S_ISVTX) != 0;
    bool in_template = doc["template_type"] == "regular";
    std::string cow_path = lk.area.tree_path + "/cow/" + cow_name.get();
    doc["marked"] = marked;
    doc["cow_name"] = cow_name.get();
    doc["cow_path"] = text_value(cow_path);
    doc["cow_type"] = cow ? json(type_name(cst.st_mode)) : json(nullptr);
    // The cow file holds the container's version only under the mark.
    doc["reads"] = nullptr;
    if (marked && cow_regular)
        doc["reads"] = text_value(cow_path);
    if (outside) {
        set_problem(doc, "outside the template directory");
    } else if (marked && !cow_regular) {
        set_problem(doc, in_template ? "broken cow mark" : "lost magic link");
    } else if (!marked && !in_template) {
        set_problem(doc, "lost magic link");
    } else if (!marked) {
        doc["reads"] = text_value(tpath);
        if (cow_regular)
            set_problem(doc, "cow file without cow mark");
    }
}

// A shortcut at rel holding text.
void shortcut(EntryLookup &lk, const std::string &text, const std::string &rel,
              const std::vector<std::string> &parts, size_t i) {
    json &doc = lk.doc;
    std::string rest = text.substr(MAGIC_PREFIX_LEN);
    std::string tpath = kx::join(lk.tdir, rest);
    bool outside = leaves_template(rest.c_str()) != 0;
    doc["holder"] = "shortcut";
    doc["at"] = text_value(rel);
    doc["target"] = text_value(text);
    doc["template_path"] = text_value(tpath);
    doc["template_type"] = outside ? json(nullptr) : host_type(tpath);
    if (outside) {
        set_problem(doc, "outside the template directory");
        doc["reads"] = nullptr;
    } else if (i + 1 < parts.size()) {
        follow_pointer(lk, tpath, parts, i, rel);
    } else if (doc["template_type"].is_null()) {
        set_problem(doc, "lost magic link");
        doc["reads"] = nullptr;
    } else {
        doc["reads"] = text_value(tpath);
    }
}

// The content of a shortcut candidate (a regular file with the sticky
// bit), or nothing when it holds no magic target.
std::optional<std::string> shortcut_text(int dirfd, const char *name, const struct stat &st,
                                         const std::string &shown_path) {
    if (st.st_size < MAGIC_PREFIX_LEN || st.st_size > MAGIC_TARGET_MAX)
        return std::nullopt;
    std::string content = read_regular(dirfd, name, shown_path);
    if (!kx::is_magic(std::string_view(content)) || content.find('\0') != std::string::npos)
        return std::nullopt;
    return content;
}

// A name the directory does not hold, in a template-backed directory: its
// dirindex or its template link says whether the template has it.
void from_template_dir(EntryLookup &lk, int dirfd, const std::string &dir_rel,
                       const std::vector<std::string> &parts, size_t i) {
    json &doc = lk.doc;
    const std::string &name = parts[i];
    std::string marker_rel = dir_rel + "/" DIRINDEX_NAME;
    std::string marker_path = lk.area.tree_path + "/" + marker_rel;
    struct stat st;
    doc["holder"] = "nothing";
    if (::fstatat(dirfd, DIRINDEX_NAME, &st, AT_SYMLINK_NOFOLLOW) != 0)
        return;
    if (S_ISLNK(st.st_mode)) {
        std::string text = link_text(dirfd, DIRINDEX_NAME, st, marker_path);
        if (!kx::is_magic(std::string_view(text)) || leaves_template(text.c_str() + 4))
            return;
        walk_template(lk, kx::join(lk.tdir, text.substr(4)), parts, i, marker_rel);
        return;
    }
    if (!S_ISREG(st.st_mode))
        return;
    uint64_t size;
    std::optional<std::string> index = read_index(dirfd, DIRINDEX_NAME, marker_path, size);
    doc["at"] = text_value(marker_rel);
    if (!index || check_index(marker_path, *index, nullptr, nullptr) == -2) {
        set_problem(doc, "broken dirindex");
        return;
    }
    const std::string &bytes = *index;
    bool complete;
    std::vector<Record> records = list_records(bytes, complete);
    auto it = std::find_if(records.begin(), records.end(),
                           [&](const Record &r) { return r.name == name; });
    if (it == records.end()) {
        doc.erase("at");
        return;
    }
    const char *troot = lk.tdir.c_str();
    uint32_t buckets = dx::load32(reinterpret_cast<const unsigned char *>(bytes.data()) + dx::kPrimeAt);
    doc["record"] = record_value(*it, buckets, it->target ? troot : nullptr);
    if (!it->target)
        return;  // a real entry the directory no longer holds
    std::string tpath = record_template_path(lk.tdir, *it);
    doc["holder"] = "index_only";
    doc["target"] = text_value(std::string(*it->target) + "/" + name);
    doc["template_path"] = text_value(tpath);
    if (record_leaves_template(*it)) {
        doc["template_type"] = nullptr;
        doc["reads"] = nullptr;
        if (i + 1 < parts.size())
            doc["holder"] = "nothing";
        set_problem(doc, "outside the template directory");
        return;
    }
    doc["template_type"] = host_type(tpath);
    if (i + 1 < parts.size()) {
        follow_pointer(lk, tpath, parts, i, marker_rel);
    } else if (doc["template_type"].is_null()) {
        set_problem(doc, "lost link in dirindex");
        doc["reads"] = nullptr;
    } else {
        doc["reads"] = text_value(tpath);
    }
}

// Walks the path from the area's root tree, entry by entry, by the area's
// own rules: a directory is entered through a descriptor, a pointer leads
// into the template, a plain link ends the walk (the container resolves it
// itself), and a name the directory lacks may come from its template.
void resolve_entry(EntryLookup &lk, const std::vector<std::string> &parts) {
    json &doc = lk.doc;
    kx::Fd owned;
    int dirfd = lk.area.root();
    std::string rel = "root";
    struct stat dir_st;
    if (::fstat(dirfd, &dir_st) != 0)
        unreadable(quoted_error("can't fstat", lk.area.tree_path + "/root", errno));
    if (parts.empty()) {
        doc["holder"] = "real";
        doc["at"] = rel;
        doc["type"] = "directory";
        doc["reads"] = text_value(lk.area.tree_path + "/root");
        return;
    }
    for (size_t i = 0; i < parts.size(); ++i) {
        const std::string &name = parts[i];
        bool last = i + 1 == parts.size();
        std::string child = rel + "/" + name;
        std::string shown_path = lk.area.tree_path + "/" + child;
        if (name == DIRINDEX_NAME) {  // the marker is never an entry of its own
            doc["holder"] = "nothing";
            return;
        }
        struct stat st;
        if (::fstatat(dirfd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
            if (errno != ENOENT)
                unreadable(quoted_error("can't lstat", shown_path, errno));
            if (dir_st.st_mode & S_ISUID)
                from_template_dir(lk, dirfd, rel, parts, i);
            else
                doc["holder"] = "nothing";
            return;
        }
        if (S_ISDIR(st.st_mode) && !last) {
            kx::Fd next = open_area_dir(dirfd, name.c_str(), shown_path);
            if (::fstat(next.get(), &dir_st) != 0)
                unreadable(quoted_error("can't fstat", shown_path, errno));
            if (dir_st.st_ino != st.st_ino || dir_st.st_dev != st.st_dev)
                unreadable("'" + shown_path + "' changed while it was opened");
            owned = std::move(next);
            dirfd = owned.get();
            rel = child;
            continue;
        }
        if (S_ISLNK(st.st_mode)) {
            std::string text = link_text(dirfd, name.c_str(), st, shown_path);
            if (kx::is_magic(std::string_view(text))) {
                magic_link(lk, st, text, child, parts, i);
                return;
            }
            doc["holder"] = last ? "real" : "symlink";
            doc["at"] = text_value(child);
            doc["type"] = "symlink";
            doc["target"] = text_value(text);
            if (last)
                doc["reads"] = text_value(shown_path);
            return;
        }
        if (S_ISREG(st.st_mode) && (st.st_mode & S_ISVTX)) {
            if (auto text = shortcut_text(dirfd, name.c_str(), st, shown_path)) {
                shortcut(lk, *text, child, parts, i);
                return;
            }
        }
        if (!last) {  // a file where a directory should be
            doc["holder"] = "nothing";
            return;
        }
        doc["holder"] = "real";
        doc["at"] = text_value(child);
        doc["type"] = type_name(st.st_mode);
        doc["reads"] = text_value(shown_path);
        return;
    }
}

// ---- the command line -------------------------------------------------------

struct Invocation {
    const char *template_dir = nullptr;  // as given
    bool verbose = false;                // -v
    std::vector<const char *> operands;
};

// The template directory given with -t, absolute and physical.
std::string template_dir(const Invocation &inv) {
    char *real = ::realpath(inv.template_dir, nullptr);
    if (!real)
        unreadable(quoted_error("can't find the template directory", inv.template_dir, errno));
    std::string dir = real;
    std::free(real);
    struct stat st;
    if (::stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
        unreadable("the template directory '" + dir + "' is not a directory");
    return dir;
}

int run_dirindex(const Invocation &inv, json &doc) {
    const char *file = inv.operands[0];
    std::optional<std::string> tdir;
    if (inv.template_dir)
        tdir = template_dir(inv);
    doc["file"] = text_value(file);
    uint64_t size;
    std::optional<std::string> bytes = read_index(AT_FDCWD, file, file, size);
    if (!bytes) {
        doc.update(kxinspect::unreadable_index_report(file, size));
        return 1;
    }
    bool problems = false;
    doc.update(kxinspect::dirindex_report(file, *bytes, tdir ? tdir->c_str() : nullptr, problems));
    return problems ? 1 : 0;
}

// The uuid and rest of a cache link: "////vc", slashes, uuid, slashes, rest
// (any run of slashes at each join, and before "vc").
json cache_link(std::string_view text) {
    std::string_view s = text.substr(MAGIC_PREFIX_LEN);
    auto skip_slashes = [&s] {
        size_t n = s.find_first_not_of('/');
        s.remove_prefix(n == std::string_view::npos ? s.size() : n);
    };
    skip_slashes();
    if (!s.starts_with("vc/"))
        return nullptr;
    s.remove_prefix(2);
    skip_slashes();
    size_t slash = s.find('/');
    if (slash == 0 || slash == std::string_view::npos)
        return nullptr;
    std::string_view uuid = s.substr(0, slash);
    s.remove_prefix(slash);
    skip_slashes();
    return json{{"uuid", text_value(uuid)}, {"rest", text_value(s)}};
}

int run_pointer(const Invocation &inv, json &doc) {
    std::string text = inv.operands[0];
    std::optional<std::string> tdir;
    if (inv.template_dir)
        tdir = template_dir(inv);
    doc["text"] = text_value(text);
    bool magic = kx::is_magic(std::string_view(text));
    doc["magic"] = magic;
    if (!magic) {
        for (const char *key : {"cache_link", "template_path", "template_exists", "template_type",
                                "leaves_template", "cow_names"})
            doc[key] = nullptr;
        doc["problems"] = true;
        return 1;
    }
    std::string rest = text.substr(MAGIC_PREFIX_LEN);
    bool outside = leaves_template(rest.c_str()) != 0;
    std::string root = tdir ? *tdir : kx::host_path(kx::kTemplateRoot);
    std::string tpath = kx::join(root, rest);
    doc["cache_link"] = cache_link(text);
    doc["template_path"] = text_value(tpath);
    // Only a template directory given here is looked at, and nothing
    // outside it.
    if (tdir && !outside) {
        doc["template_type"] = host_type(tpath);
        doc["template_exists"] = !doc["template_type"].is_null();
    } else {
        doc["template_type"] = nullptr;
        doc["template_exists"] = nullptr;
    }
    doc["leaves_template"] = outside;
    std::unique_ptr<char, kx::FreeDeleter> md5(md5_name(text.c_str())), legacy(legacy_name(text.c_str()));
    doc["cow_names"] = {{"md5", md5.get()}, {"legacy", legacy.get()}};
    bool problems = outside || doc["template_exists"] == false;
    doc["problems"] = problems;
    return problems ? 1 : 0;
}

int run_entry(const Invocation &inv, json &doc) {
    std::string path = inv.operands[1];
    if (kx::leaves_root(path)) {
        std::fprintf(stderr, "Error: %s: a path with '..' is not accepted: '%s'\n", program_name,
                     shown(path).c_str());
        std::exit(2);
    }
    std::vector<std::string> parts;
    for (size_t at = 0; at <= path.size();) {
        size_t slash = std::min(path.find('/', at), path.size());
        std::string part = path.substr(at, slash - at);
        if (!part.empty() && part != ".")
            parts.push_back(std::move(part));
        at = slash + 1;
    }
    std::string tdir = template_dir(inv);
    AreaDirs area;
    open_private_area(inv.operands[0], area);
    std::string version;
    struct stat st;
    if (::fstatat(area.tree(), "VERSION", &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode) &&
        !kx::read_link(area.tree(), "VERSION", st.st_size, version))
        version.clear();
    // As the checker: an unreadable version means the older naming.
    bool md5 = !version.empty() && version.compare("005.003") >= 0;
    doc["area"] = text_value(area.path);
    doc["layout"] = area.layout;
    doc["tree"] = text_value(area.tree_path);
    doc["read_only_view"] = area.read_only_view;
    doc["version"] = version.empty() ? json(nullptr) : text_value(version);
    doc["cow_naming"] = md5 ? "md5" : "legacy";
    doc["path"] = text_value(path);

    json found;
    EntryLookup lk{area, tdir, md5, found};
    resolve_entry(lk, parts);
    doc["entry"] = found;
    bool problems = found.contains("problem") ||
                    (found.contains("pointer") && found["pointer"].contains("problem"));
    doc["problems"] = problems;
    return problems ? 1 : 0;
}

// ---- the area report --------------------------------------------------------

// What the checker finds, as the document names it: problems first, then
// the optimizations, which are no damage.
struct FindingName {
    finding_kind kind;
    const char *key;
    const char *label;
    bool problem;
};
const FindingName finding_names[] = {
    {FINDING_LOST_COW, "lost_cow", "lost cow files", true},
    {FINDING_BROKEN_MARK, "broken_mark", "broken cow marks", true},
    {FINDING_LOST_LINK, "lost_link", "lost magic links", true},
    {FINDING_BROKEN_DIRINDEX, "broken_dirindex", "broken dirindex", true},
    {FINDING_REPAIRABLE_DIRINDEX, "repairable_dirindex", "dirindex, lost records", true},
    {FINDING_UNCHANGED_COW, "unchanged_cow", "unchanged cow files", false},
    {FINDING_CHANGED_COW, "changed_cow", "changed cow files", false},
};
constexpr size_t kFindingKinds = sizeof finding_names / sizeof finding_names[0];

// What the scan told the observer, counted.
struct AreaTally {
    bool verbose = false;
    uint64_t dirs = 0, indexed = 0, linked = 0, marked = 0, unmarked = 0;
    uint64_t shortcuts = 0, files = 0, symlinks = 0, other = 0;
    uint64_t findings[kFindingKinds] = {};
    json texts = json::array();
};

void tally_finding(void *data, finding_kind kind, const char *item, const char *text) {
    auto *t = static_cast<AreaTally *>(data);
    for (size_t i = 0; i < kFindingKinds; ++i) {
        if (finding_names[i].kind != kind)
            continue;
        t->findings[i]++;
        if (t->verbose)
            t->texts.push_back({{"kind", finding_names[i].key}, {"item", text_value(item)}, {"text", text_value(text)}});
    }
}

void tally_entry(void *data, entry_kind kind, const char *, const struct stat *st) {
    auto *t = static_cast<AreaTally *>(data);
    switch (kind) {
    case ENTRY_DIR:
        t->dirs++;
        break;
    case ENTRY_MAGIC_LINK:
        (st->st_mode & COW_MARK ? t->marked : t->unmarked)++;
        break;
    case ENTRY_MARKER_LINK:
        t->linked++;
        break;
    case ENTRY_MARKER_INDEX:
        t->indexed++;
        break;
    case ENTRY_SHORTCUT:
        t->shortcuts++;
        break;
    case ENTRY_FILE:
        t->files++;
        break;
    case ENTRY_SYMLINK:
        t->symlinks++;
        break;
    case ENTRY_OTHER:
        t->other++;
        break;
    }
}

// The entries of the directory fd, or -1 with errno set.
int64_t count_entries(int fd) {
    int64_t n = 0;
    bool listed = kx::each_entry(fd, kx::Listing::streamed, nullptr, [&n](const char *, unsigned char) {
        ++n;
        return true;
    });
    return listed ? n : -1;
}

// The checker's report-only run (every correction and optimization
// asked for, every action "ignore"), with an observer that counts: the
// document's counts. Runs in the child; the area and template are set.
json scan_counts(bool verbose) {
    AreaTally tally;
    tally.verbose = verbose;
    const check_observer counting{&tally, tally_finding, tally_entry};
    for (int &act : corr_act)
        act = ACT_IGNORE;
    for (int &act : opt_act)
        act = ACT_IGNORE;
    set_option(OPT_PARSED | OPT_TEMPLATE_DIR | OPT_CORR_ALL | OPT_OPT_ALL);
    int64_t cows = count_entries(area->cow.fd);
    if (cows < 0)
        error(1, errno, "Kxfsutil: opendir '%s'", cow_dir);
    observer = &counting;
    static scan_info counters;
    info = &counters;
    scan_cow_dir();
    scan_mount_point(fs_priv_dir, 0);
    lost_cow_pass();
    observer = nullptr;

    json doc;
    const AreaTally &t = tally;
    uint64_t lost = t.findings[0];
    doc["directories"] = {{"total", t.dirs},
                          {"plain", t.dirs - std::min(t.dirs, t.indexed + t.linked)},
                          {"indexed", t.indexed},
                          {"linked", t.linked}};
    doc["magic_links"] = {{"total", t.marked + t.unmarked}, {"marked", t.marked}, {"unmarked", t.unmarked}};
    doc["shortcuts"] = t.shortcuts;
    doc["files"] = t.files;
    doc["symlinks"] = t.symlinks;
    doc["other"] = t.other;
    uint64_t total = static_cast<uint64_t>(cows);
    doc["cow_files"] = {{"total", total}, {"claimed", total - std::min(total, lost)}, {"lost", lost}};
    json problems = json::object(), optimizations = json::object();
    for (size_t i = 0; i < kFindingKinds; ++i)
        (finding_names[i].problem ? problems : optimizations)[finding_names[i].key] = t.findings[i];
    doc["problem_counts"] = std::move(problems);
    doc["optimization_counts"] = std::move(optimizations);
    if (verbose)
        doc["findings"] = t.texts;
    return doc;
}

// The checker ends the process on what it cannot read: in the child, that
// ends the child only, with the status the parent takes for "stopped".
constexpr int kScanStopped = 1;
void leave_scan() {
    std::fflush(nullptr);
    ::_exit(kScanStopped);
}

std::string read_back(int fd) {
    std::string s;
    if (::lseek(fd, 0, SEEK_SET) != 0 || !kx::read_all(fd, s))
        s.clear();
    return s;
}

// Runs scan_counts in a child process, so that a scan that stops, or
// worse, ends the report with the reason instead of the whole program.
// The child's document comes back through one unnamed file, whatever it
// printed through another.
json scan_in_child(bool verbose) {
    kx::Fd result(::memfd_create("kxfsinspect-result", MFD_CLOEXEC));
    kx::Fd said(::memfd_create("kxfsinspect-messages", MFD_CLOEXEC));
    if (!result.ok() || !said.ok())
        unreadable(std::string("can't make a scratch file: ") + std::strerror(errno));
    std::fflush(nullptr);
    pid_t pid = ::fork();
    if (pid < 0)
        unreadable(std::string("can't start the scan: ") + std::strerror(errno));
    if (pid == 0) {
        ::dup2(said.get(), STDOUT_FILENO);
        ::dup2(said.get(), STDERR_FILENO);
        std::atexit(leave_scan);
        int status = 2;
        try {
            std::string text = kxinspect::dump(scan_counts(verbose));
            status = kx::write_all(result.get(), text) ? 0 : 2;
        } catch (...) {
        }
        std::fflush(nullptr);
        ::_exit(status);
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR)
            unreadable(std::string("can't wait for the scan: ") + std::strerror(errno));
    }
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0) {
        try {
            return json::parse(read_back(result.get()));
        } catch (const json::exception &) {
            unreadable("the scan's counts came back damaged");
        }
    }
    std::string messages = read_back(said.get());
    if (WIFEXITED(status) && WEXITSTATUS(status) == kScanStopped) {
        // The checker's own message says why it stopped.
        size_t at = messages.rfind("Error: ");
        if (at != std::string::npos) {
            std::string why = messages.substr(at + 7);
            why = why.substr(0, why.find('\n'));
            unreadable("the scan stopped: " + unescaped(why));
        }
    }
    std::fputs(messages.c_str(), stderr);
    if (WIFSIGNALED(status))
        unreadable("the scan ended by signal " + std::to_string(WTERMSIG(status)) + " (" +
                   strsignal(WTERMSIG(status)) + ")");
    unreadable("the scan ended with status " + std::to_string(WEXITSTATUS(status)));
}

// What lost_files holds, counted without making it: null when the area
// has none; else its type and, for a real directory, the number of
// entries at any depth below it that are not directories.
json lost_files_value(const AreaDirs &area) {
    const std::string path = area.path + "/lost_files";
    struct stat st;
    if (::fstatat(area.top(), "lost_files", &st, AT_SYMLINK_NOFOLLOW) != 0) {
        if (errno == ENOENT)
            return nullptr;
        unreadable(quoted_error("can't lstat", path, errno));
    }
    json v{{"path", text_value(path)}, {"type", type_name(st.st_mode)}, {"entries", nullptr}};
    if (!S_ISDIR(st.st_mode))
        return v;
    kx::Fd top = open_area_dir(area.top(), "lost_files", path);
    struct stat top_st;
    if (::fstat(top.get(), &top_st) != 0 || !kx::same_inode(top_st, st.st_dev, st.st_ino))
        unreadable("'" + path + "' changed while it was opened");
    uint64_t count = 0;
    kx::TreeWalk walk(top.get());
    while (walk.next()) {
        std::string shown_dir = walk.rel().empty() ? path : path + "/" + walk.rel();
        if (walk.fd() < 0)
            unreadable(quoted_error("can't open", shown_dir, walk.error()));
        const int fd = walk.fd();
        bool listed = walk.list(kx::Listing::streamed, [&](const char *name, unsigned char type) {
            if (type != DT_DIR && type != DT_UNKNOWN) {
                ++count;
                return true;
            }
            struct stat est;
            if (::fstatat(fd, name, &est, AT_SYMLINK_NOFOLLOW) != 0)
                unreadable(quoted_error("can't lstat", shown_dir + "/" + name, errno));
            if (S_ISDIR(est.st_mode))
                walk.push(name, est);
            else
                ++count;
            return true;
        });
        if (!listed)
            unreadable(quoted_error("can't open", shown_dir, errno));
    }
    v["entries"] = count;
    return v;
}

int run_area(const Invocation &inv, json &doc) {
    std::string tdir = template_dir(inv);
    AreaDirs area;
    open_private_area(inv.operands[0], area);
    use_area(area.handle.get());
    check_area_version();
    doc["area"] = text_value(area.path);
    doc["layout"] = area.layout;
    doc["tree"] = text_value(area.tree_path);
    doc["read_only_view"] = area.read_only_view;
    doc["version"] = area_version[0] ? text_value(area_version) : json(nullptr);
    doc["cow_naming"] = vefs_version == 1 ? "md5" : "legacy";
    doc["lost_files"] = lost_files_value(area);
    temp_dir = xstrdup(tdir.c_str());
    json unfinished = json::array();
    for (const unfinished_work &w : find_unfinished_work())
        unfinished.push_back({{"work", w.kind}, {"what", text_value(w.what)}, {"command", text_value(w.command)}});
    doc["unfinished"] = unfinished;
    doc.update(scan_in_child(inv.verbose));
    uint64_t problems = 0;
    for (const auto &[key, n] : doc["problem_counts"].items())
        problems += n.get<uint64_t>();
    const json &lost = doc["lost_files"];
    bool damaged = problems != 0 || (!lost.is_null() && lost["type"] != "directory") || !unfinished.empty();
    doc["problems"] = damaged;
    return damaged ? 1 : 0;
}

// ---- text renderers ---------------------------------------------------------

std::string number_hex(const json &v) {
    char b[16];
    std::snprintf(b, sizeof b, "0x%08x", v.get<uint32_t>());
    return b;
}

void line(const char *label, const std::string &value) {
    std::printf("%-17s %s\n", label, value.c_str());
}

void print_dirindex(const json &doc) {
    line("file", shown_value(doc["file"]) + " (" + std::to_string(doc["size"].get<uint64_t>()) + " bytes)");
    const json &h = doc["header"];
    if (h.is_null()) {
        line("header", doc["size"].get<uint64_t>() < DIRINDEX_HEADER_SIZE ? "truncated" : "not read");
    } else {
        line("signature", number_hex(h["signature"]) + (h["signature_ok"].get<bool>() ? " (right)" : " (wrong)"));
        line("start", std::to_string(h["start"].get<uint32_t>()));
        line("dirs", std::to_string(h["dirs"].get<uint32_t>()));
        line("prime", std::to_string(h["prime"].get<uint32_t>()));
        line("checksum", number_hex(h["checksum"]) +
                             (h["checksum_ok"].get<bool>() ? " (right)"
                                                            : " (wrong, computed " + number_hex(h["checksum_computed"]) + ")"));
    }
    const json &b = doc["buckets"];
    if (!b.is_null())
        line("buckets", std::to_string(b["count"].get<uint32_t>()) + " (" + std::to_string(b["used"].get<uint32_t>()) +
                            " used, longest chain " + std::to_string(b["longest_chain"].get<uint32_t>()) + ")");
    const json &records = doc["records"];
    line("records", std::to_string(records.size()) + (doc["records_complete"].get<bool>() ? "" : " (the rest cannot be read)"));
    if (!records.empty())
        std::printf("  %8s %-7s %5s %6s %-8s %10s  %s\n", "offset", "type", "flags", "bucket", "key", "inode", "name");
    for (const json &r : records) {
        std::string type = std::to_string(r["type"].get<int>()) + " " + r["type_letter"].get<std::string>();
        char flags[8];
        std::snprintf(flags, sizeof flags, "0x%x", r["flags"].get<int>());
        std::string bucket = r["bucket"].is_null() ? "-" : std::to_string(r["bucket"].get<uint32_t>());
        std::string name = shown_value(r["name"]);
        if (!r["target"].is_null())
            name += " -> " + shown_value(r["magic_target"]);
        else if (r["link"].get<uint32_t>() != 0)
            name += " -> (unreadable target at " + std::to_string(r["link"].get<uint32_t>()) + ")";
        if (r.contains("template_type") && r["template_type"].is_null())
            name += " (missing from the template)";
        std::printf("  %8llu %-7s %5s %6s %-8s %10u  %s\n", r["offset"].get<unsigned long long>(), type.c_str(), flags,
                    bucket.c_str(), r["key"].get<std::string>().c_str(), r["inode"].get<uint32_t>(), name.c_str());
    }
    const json &check = doc["check"];
    line("check", check["result"].get<std::string>());
    for (const json &t : check["findings"])
        std::printf("  %s\n", shown_value(t).c_str());
}

void print_pointer(const json &doc) {
    line("text", shown_value(doc["text"]));
    line("magic target", doc["magic"].get<bool>() ? "yes" : "no");
    if (!doc["magic"].get<bool>())
        return;
    const json &cache = doc["cache_link"];
    line("cache link", cache.is_null() ? "no" : "yes, uuid " + shown_value(cache["uuid"]) + ", rest " + shown_value(cache["rest"]));
    std::string tpath = shown_value(doc["template_path"]);
    if (!doc["template_exists"].is_null())
        tpath += doc["template_type"].is_null() ? " (missing)" : " (" + doc["template_type"].get<std::string>() + ")";
    line("template path", tpath);
    line("leaves template", doc["leaves_template"].get<bool>() ? "yes (refused)" : "no");
    line("cow name, md5", doc["cow_names"]["md5"].get<std::string>());
    line("cow name, legacy", doc["cow_names"]["legacy"].get<std::string>());
}

const char *holder_text(const std::string &holder) {
    static const std::pair<const char *, const char *> texts[] = {
        {"real", "a real entry"},
        {"magic_link", "a magic link"},
        {"shortcut", "a shortcut"},
        {"index_only", "an entry known only from its directory's dirindex"},
        {"template", "an object of the template"},
        {"symlink", "a symbolic link on the way (the container resolves it)"},
        {"nothing", "nothing"},
    };
    for (const auto &[key, text] : texts)
        if (holder == key)
            return text;
    return "?";
}

void print_found(const json &e) {
    if (e.contains("pointer")) {
        print_found(e["pointer"]);
        std::printf("then below it:\n");
    }
    line("holder", holder_text(e["holder"].get<std::string>()));
    if (e.contains("at"))
        line("at", shown_value(e["at"]));
    if (e.contains("via"))
        line("via", shown_value(e["via"]));
    if (e.contains("type"))
        line("type", e["type"].get<std::string>());
    if (e.contains("target"))
        line("target", shown_value(e["target"]));
    if (e.contains("record")) {
        const json &r = e["record"];
        line("record", "offset " + std::to_string(r["offset"].get<uint64_t>()) + ", type " +
                           r["type_letter"].get<std::string>() + ", " + r["key"].get<std::string>() + " inode " +
                           std::to_string(r["inode"].get<uint32_t>()));
    }
    if (e.contains("template_path")) {
        std::string t = shown_value(e["template_path"]);
        if (e.contains("template_type"))
            t += e["template_type"].is_null() ? " (missing)" : " (" + e["template_type"].get<std::string>() + ")";
        line("template", t);
    }
    if (e.contains("marked"))
        line("cow mark", e["marked"].get<bool>() ? "yes" : "no");
    if (e.contains("cow_path"))
        line("cow file", shown_value(e["cow_path"]) + (e["cow_type"].is_null() ? " (missing)" : " (" + e["cow_type"].get<std::string>() + ")"));
    if (e.contains("reads"))
        line("reads", shown_value(e["reads"]));
    if (e.contains("problem"))
        line("problem", e["problem"].get<std::string>());
}

void print_entry(const json &doc) {
    line("area", shown_value(doc["area"]) + " (layout " + std::to_string(doc["layout"].get<int>()) + ")");
    line("tree", shown_value(doc["tree"]));
    line("version", shown_value(doc["version"]) + " (cow names: " + doc["cow_naming"].get<std::string>() + ")");
    line("path", shown_value(doc["path"]));
    print_found(doc["entry"]);
}

std::string count_text(const json &v) {
    return std::to_string(v.get<uint64_t>());
}

void print_area(const json &doc) {
    line("area", shown_value(doc["area"]) + " (layout " + std::to_string(doc["layout"].get<int>()) + ")");
    line("tree", shown_value(doc["tree"]));
    line("version", shown_value(doc["version"]) + " (cow names: " + doc["cow_naming"].get<std::string>() + ")");
    const json &d = doc["directories"];
    line("directories", count_text(d["total"]) + " (plain " + count_text(d["plain"]) + ", indexed " +
                            count_text(d["indexed"]) + ", linked " + count_text(d["linked"]) + ")");
    const json &m = doc["magic_links"];
    line("magic links", count_text(m["total"]) + " (marked " + count_text(m["marked"]) + ", unmarked " +
                            count_text(m["unmarked"]) + ")");
    line("shortcuts", count_text(doc["shortcuts"]));
    line("plain files", count_text(doc["files"]));
    line("symbolic links", count_text(doc["symlinks"]));
    line("other nodes", count_text(doc["other"]));
    const json &c = doc["cow_files"];
    line("cow files", count_text(c["total"]) + " (claimed " + count_text(c["claimed"]) + ", lost " +
                          count_text(c["lost"]) + ")");
    const json &lost = doc["lost_files"];
    line("lost_files", lost.is_null()                 ? std::string("none")
                       : lost["entries"].is_null() ? "not a directory (" + lost["type"].get<std::string>() + ")"
                                                   : count_text(lost["entries"]) + " entries");
    const json &unfinished = doc["unfinished"];
    line("unfinished work", unfinished.empty() ? std::string("none") : std::to_string(unfinished.size()));
    for (const json &w : unfinished) {
        std::printf("  %-22s %s\n", w["work"].get<std::string>().c_str(), shown_value(w["what"]).c_str());
        std::printf("  %-22s %s\n", "finish with", shown_value(w["command"]).c_str());
    }
    uint64_t problems = 0;
    for (const auto &[key, n] : doc["problem_counts"].items())
        problems += n.get<uint64_t>();
    line("problems", std::to_string(problems));
    for (const FindingName &f : finding_names) {
        if (f.problem)
            std::printf("  %-22s %s\n", f.label, count_text(doc["problem_counts"][f.key]).c_str());
    }
    std::printf("optimizations\n");
    for (const FindingName &f : finding_names) {
        if (!f.problem)
            std::printf("  %-22s %s\n", f.label, count_text(doc["optimization_counts"][f.key]).c_str());
    }
    if (doc.contains("findings")) {
        line("findings", std::to_string(doc["findings"].size()));
        for (const json &f : doc["findings"])
            std::printf("  %s\n", shown_value(f["text"]).c_str());
    }
}

// One subcommand: its name, its arguments for the usage text, whether it
// takes -t, how many operands, the run and the text renderer. run fills
// the document and gives the status (0 sound, 1 problems); a file that
// cannot be read ends it through Unreadable.
struct Subcommand {
    const char *name;
    const char *synopsis;
    enum { NO_TEMPLATE, TEMPLATE_OPTIONAL, TEMPLATE_REQUIRED } template_dir;
    size_t operands;
    int (*run)(const Invocation &, json &);
    void (*print)(const json &);
    bool verbose = false;  // takes -v
};

const Subcommand subcommands[] = {
    {"dirindex", "[-t TEMPLATE_DIR] FILE", Subcommand::TEMPLATE_OPTIONAL, 1, run_dirindex, print_dirindex},
    {"pointer", "[-t TEMPLATE_DIR] TEXT", Subcommand::TEMPLATE_OPTIONAL, 1, run_pointer, print_pointer},
    {"entry", "-t TEMPLATE_DIR PRIVATE_DIR PATH", Subcommand::TEMPLATE_REQUIRED, 2, run_entry, print_entry},
    {"area", "[-v] -t TEMPLATE_DIR PRIVATE_DIR", Subcommand::TEMPLATE_REQUIRED, 1, run_area, print_area, true},
};

void print_usage(FILE *out) {
    const char *lead = "usage:";
    for (const Subcommand &s : subcommands) {
        std::fprintf(out, "%s %s [--json] %s %s\n", lead, program_name, s.name, s.synopsis);
        lead = "      ";
    }
    std::fprintf(out, "%s %s -h | --help\n%s %s -V | --version\n", lead, program_name, lead, program_name);
}

[[noreturn]] void usage() {
    print_usage(stderr);
    std::exit(2);
}

}  // namespace

int main(int argc, char **argv) {
    kxfsutil_debug_level = 0;
    bool json_out = false;
    int i = 1;
    for (; i < argc && argv[i][0] == '-'; ++i) {
        std::string_view a = argv[i];
        if (a == "--json") {
            json_out = true;
        } else if (a == "-h" || a == "--help") {
            print_usage(stdout);
            return 0;
        } else if (a == "-V" || a == "--version") {
            std::printf("%s version %s\n", program_name, program_version);
            return 0;
        } else {
            usage();
        }
    }
    if (i >= argc)
        usage();
    const Subcommand *sub = nullptr;
    for (const Subcommand &s : subcommands)
        if (std::strcmp(argv[i], s.name) == 0)
            sub = &s;
    if (!sub)
        usage();

    Invocation inv;
    bool options_done = false;
    for (++i; i < argc; ++i) {
        std::string_view a = argv[i];
        if (options_done || a.empty() || a[0] != '-' || a == "-") {
            inv.operands.push_back(argv[i]);
        } else if (a == "--") {
            options_done = true;
        } else if (a == "--json") {
            json_out = true;
        } else if (a == "-v" && sub->verbose) {
            inv.verbose = true;
        } else if (a == "-t" && sub->template_dir != Subcommand::NO_TEMPLATE && !inv.template_dir && i + 1 < argc) {
            inv.template_dir = argv[++i];
        } else {
            usage();
        }
    }
    if (inv.operands.size() != sub->operands ||
        (sub->template_dir == Subcommand::TEMPLATE_REQUIRED && !inv.template_dir))
        usage();

    json doc{{"command", sub->name}};
    int status;
    try {
        status = sub->run(inv, doc);
    } catch (const Unreadable &e) {
        std::fprintf(stderr, "Error: %s: %s\n", program_name, shown(e.why).c_str());
        doc["error"] = text_value(e.why);
        status = 3;
    } catch (const std::bad_alloc &) {
        std::fprintf(stderr, "Error: %s: not enough memory\n", program_name);
        return 3;
    }
    if (json_out) {
        std::string text = kxinspect::dump(doc);
        std::printf("%s\n", text.c_str());
    } else if (status != 3) {
        sub->print(doc);
    }
    std::fflush(stdout);
    return status;
}
