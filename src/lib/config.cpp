// The per-container configuration file "<veid>.conf": resolving it through
// its links, reading one parameter, and adding or rewriting parameters.
// Lines are read whole; a rewrite replaces the file atomically in the
// process, keeping every other line byte for byte.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "host.h"
#include "libkxfsutil.h"
#include "lines.h"
#include "messages.h"

namespace {

constexpr int kMaxLinks = 100;

// Follows the links at the final component of path. A relative target is
// taken from the link's own directory. Returns the number of links
// followed, or -1 after kMaxLinks; fatal when a step cannot be examined.
int resolve_links(const char *given, std::string &work) {
    work = given;
    for (int links = 0;; ) {
        struct stat st;
        if (::lstat(work.c_str(), &st) != 0)
            error(1, errno, "Can't stat '%s'", given);
        if (!S_ISLNK(st.st_mode))
            return links;
        std::string target(static_cast<size_t>(st.st_size > 0 ? st.st_size : 255) + 1, '\0');
        for (;;) {
            ssize_t n = ::readlink(work.c_str(), target.data(), target.size());
            if (n < 0)
                error(1, errno, "Can't read link '%s'", given);
            if (static_cast<size_t>(n) < target.size()) {
                target.resize(static_cast<size_t>(n));
                break;
            }
            target.resize(target.size() * 2);
        }
        if (target.empty() || target[0] != '/') {
            size_t slash = work.rfind('/');
            if (slash != std::string::npos)
                target.insert(0, work, 0, slash + 1);
        }
        work = std::move(target);
        if (++links >= kMaxLinks)
            return -1;
    }
}

std::string conf_path(int veid) {
    return kx::host_path(kx::kConfigDir) + "/" + std::to_string(veid) + ".conf";
}

// The container's configuration file at the end of its links.
std::string resolved_conf(int veid) {
    std::string given = conf_path(veid), real;
    if (resolve_links(given.c_str(), real) < 0)
        return given;
    if (kx::trace_on(4))
        debug_print(4, "real path '%s'\n", real.c_str());
    return real;
}

bool begins_with(std::string_view text, std::string_view prefix) {
    return text.substr(0, prefix.size()) == prefix;
}

// The value of a line that begins with the name and '=': the first run
// after the name without double quote, tab, '=' or newline.
std::string_view value_after(std::string_view rest) {
    constexpr std::string_view delims("\"\t=\n", 4);
    size_t from = rest.find_first_not_of(delims);
    if (from == std::string_view::npos)
        return {};
    size_t to = rest.find_first_of(delims, from);
    return rest.substr(from, to == std::string_view::npos ? std::string_view::npos : to - from);
}

// A name and value that can be written as name="value" without ending the
// line early, closing the quotes, or being expanded when the file is read
// by a shell.
bool writable(const char *name, const char *value) {
    if (name == nullptr || value == nullptr || *name == '\0' ||
        std::strpbrk(name, "=\"\t\n \\$`'#") != nullptr)
        return false;
    return std::strpbrk(value, "\n\"\\$`") == nullptr;
}

// Every line that begins with name= becomes name="value".
std::string replace_lines(std::string_view text, std::string_view name, std::string_view value) {
    std::string key = std::string(name) + "=";
    std::string out;
    out.reserve(text.size() + value.size() + 2);
    while (!text.empty()) {
        size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        if (begins_with(line, key))
            out.append(key).append(1, '"').append(value).append(1, '"');
        else
            out.append(line);
        if (end == std::string_view::npos)
            break;
        out.append(1, '\n');
        text.remove_prefix(end + 1);
    }
    return out;
}

// Writes content into a temporary sibling of path with path's owner,
// group and mode, syncs it and renames it over path. errno on failure.
// The sibling's name is fixed (the directory is the host's): a rewrite
// interrupted before its rename leaves only that name, which the next
// rewrite takes over.
bool replace_file(const std::string &path, const struct stat &st, std::string_view content) {
    std::string temp = path + ".tmp";
    kx::Fd fd(::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!fd.ok())
        return false;
    bool done = kx::write_all(fd.get(), content) &&
                ::fchown(fd.get(), st.st_uid, st.st_gid) == 0 &&
                ::fchmod(fd.get(), st.st_mode & 07777) == 0 && ::fsync(fd.get()) == 0 &&
                fd.close() == 0 && ::rename(temp.c_str(), path.c_str()) == 0;
    if (!done) {
        int err = errno;
        ::unlink(temp.c_str());
        errno = err;
        return false;
    }
    size_t slash = path.rfind('/');
    std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    kx::Fd dfd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dfd.ok())
        ::fsync(dfd.get());
    return true;
}

}  // namespace

int get_realpath(char *path, int size) {
    std::string real;
    int links = resolve_links(path, real);
    if (links < 0)
        return -1;
    if (size > 0) {
        size_t n = std::min(real.size(), static_cast<size_t>(size) - 1);
        std::memcpy(path, real.data(), n);
        path[n] = '\0';
    }
    if (kx::trace_on(4))
        debug_print(4, "real path '%s'\n", path);
    return links;
}

char *read_ve_file_config_param(const char *file, const char *name) {
    std::unique_ptr<FILE, int (*)(FILE *)> in(std::fopen(file, "re"), std::fclose);
    if (!in)
        error(1, errno, "Unable to open '%s'", file);
    return kx::read_config_param(in.get(), file, name);
}

char *kx::read_config_param(FILE *in, const char *file, const char *name) {
    std::string_view key(name);
    std::string value;
    bool found = false;
    std::string line;
    kx::LineReader lines(in);
    for (kx::LineReader::Result r; (r = lines.next(line)) != kx::LineReader::end;) {
        // No parameter is that long: the line is garbage, whatever it begins with.
        if (r == kx::LineReader::too_long) {
            warning(0, "Line %zu of '%s' is longer than %zu bytes: ignored", lines.number(), file,
                    kx::kLineMax);
            continue;
        }
        std::string_view text(line.c_str());  // up to a NUL, as a C string ends
        // "=" must follow: VE_PRIVATE_OLD= does not define VE_PRIVATE.
        if (!begins_with(text, key) || text.substr(key.size(), 1) != "=")
            continue;
        std::string_view v = value_after(text.substr(key.size()));
        if (!v.empty()) {
            value.assign(v);
            found = true;
        }
    }
    if (!found) {
        if (kx::trace_on(4))
            debug_print(4, "Unable to load %s from '%s'\n", name, file);
        return nullptr;
    }
    if (kx::trace_on(4))
        debug_print(4, "%s=\"%s\" from %s\n", name, value.c_str(), file);
    return xstrdup(value.c_str());
}

char *read_ve_config_param(int veid, const char *name) {
    return read_ve_file_config_param(resolved_conf(veid).c_str(), name);
}

int add_ve_config_param(int veid, const char *name, const char *value) {
    std::string path = resolved_conf(veid);
    if (!writable(name, value))
        error(1, EINVAL, "Error during write to file '%s'\n", path.c_str());
    kx::Fd fd(::open(path.c_str(), O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC, 0666));
    if (!fd.ok())
        error(1, errno, "Unable to open %s.\n", path.c_str());
    std::string line;
    // A last line without its newline would otherwise take the new one in.
    struct stat st;
    char last = '\n';
    const bool sized = ::fstat(fd.get(), &st) == 0;
    if (sized && st.st_size > 0 && ::pread(fd.get(), &last, 1, st.st_size - 1) == 1 &&
        last != '\n')
        line += '\n';
    line.append(name).append("=\"").append(value).append("\"\n");
    if (!kx::write_all(fd.get(), line)) {
        // A line written in part (a full disk) would be read as the value:
        // the file goes back to what it was.
        int err = errno;
        if (sized)
            (void)::ftruncate(fd.get(), st.st_size);
        error(1, err, "Error during write to file '%s'\n", path.c_str());
    }
    if (fd.close() != 0)
        error(1, errno, "Error during write to file '%s'\n", path.c_str());
    return 0;
}

int correct_ve_config_param(int veid, const char *name, const char *value) {
    std::string path = resolved_conf(veid);
    // The trace shows the edit as the sed command that would make it.
    if (kx::trace_on(4))
        debug_print(4, "execute: sed -i 's#\\(^%s=\\).*#\\1\"%s\"#g' %s \n", name, value,
                    path.c_str());
    const char *failure = "Warning: Some error occur during correction config %s \n";
    if (!writable(name, value))
        error(1, EINVAL, failure, path.c_str());
    kx::Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    struct stat st;
    std::string text;
    if (!fd.ok() || ::fstat(fd.get(), &st) != 0 || !kx::read_all(fd.get(), text))
        error(1, errno, failure, path.c_str());
    fd.reset();
    std::string changed = replace_lines(text, name, value);
    if (changed != text && !replace_file(path, st, changed))
        error(1, errno, failure, path.c_str());
    return 0;
}

int save_ve_config_param(int veid, const char *name, const char *value) {
    std::unique_ptr<char, kx::FreeDeleter> current(read_ve_config_param(veid, name));
    if (current && std::strcmp(current.get(), value) == 0)
        return 0;
    if (kx::trace_on(4))
        debug_print(4, "new parameter: %s=\"%s\"\n", name, value);
    if (current)
        correct_ve_config_param(veid, name, value);
    else
        add_ve_config_param(veid, name, value);
    return 0;
}

void update_ve_config(int veid, const char *name, const char *word) {
    std::unique_ptr<char, kx::FreeDeleter> current(read_ve_config_param(veid, name));
    if (!current) {
        if (kx::trace_on(4))
            debug_print(4, "new parameter: %s=\"%s\"\n", name, word);
        add_ve_config_param(veid, name, word);
        return;
    }
    if (std::strstr(current.get(), word) != nullptr)
        return;
    std::string list(current.get());
    while (!list.empty() && list.back() == ' ')
        list.pop_back();
    list.append(1, ' ').append(word);
    if (kx::trace_on(4))
        debug_print(4, "new parameter: %s=\"%s\"\n", name, list.c_str());
    correct_ve_config_param(veid, name, list.c_str());
}

char *read_ve_private(int veid) {
    std::unique_ptr<char, kx::FreeDeleter> value(read_ve_config_param(veid, "VE_PRIVATE"));
    if (!value)
        error(1, errno, "Can't read from %s config for CT %d.\n", "VE_PRIVATE", veid);
    std::string path(value.get());
    size_t at = path.find("$VEID");
    if (at != std::string::npos)
        path.replace(at, 5, std::to_string(veid));
    if (kx::trace_on(4))
        debug_print(4, "private area of CT %d: '%s'\n", veid, path.c_str());
    return xstrdup(path.c_str());
}
