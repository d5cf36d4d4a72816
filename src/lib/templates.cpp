// The package list of an area, the prefix of its OS template, and the check
// of one magic-link target against both. The checker calls the check for
// every magic link of an area, so the list is indexed by name form.
#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <functional>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "area.h"
#include "host.h"
#include "libkxfsutil.h"
#include "lines.h"
#include "process.h"
#include "messages.h"

char **kxpackages_array = nullptr;
char *ostemplate_prefix = nullptr;

namespace {

// Lookup structure over kxpackages_array: the name forms without '/' in a
// hash set (a target's package directory is one path component), the few
// with '/' in list order. It is rebuilt when kxpackages_array is another
// array than the one indexed, or when add_line has run since (a list grown
// in place keeps its address).
struct Hash {
    using is_transparent = void;
    size_t operator()(std::string_view s) const { return std::hash<std::string_view>{}(s); }
};

struct PackageIndex {
    char **array = nullptr;
    bool stale = true;
    std::unordered_set<std::string, Hash, std::equal_to<>> forms;
    std::vector<std::string> slash_forms;
};

PackageIndex package_index;

const PackageIndex &current_index() {
    PackageIndex &ix = package_index;
    if (!ix.stale && ix.array == kxpackages_array)
        return ix;
    ix.forms.clear();
    ix.slash_forms.clear();
    for (char **p = kxpackages_array; *p; ++p) {
        if (std::strchr(*p, '/'))
            ix.slash_forms.emplace_back(*p);
        else
            ix.forms.emplace(*p);
    }
    ix.array = kxpackages_array;
    ix.stale = false;
    return ix;
}

// True when rest begins with one of the list's name forms followed by '/'.
bool has_package(std::string_view rest) {
    const PackageIndex &ix = current_index();
    size_t slash = rest.find('/');
    if (slash == std::string_view::npos)
        return false;
    if (ix.forms.find(rest.substr(0, slash)) != ix.forms.end())
        return true;
    for (const auto &form : ix.slash_forms) {
        if (rest.size() > form.size() && rest.compare(0, form.size(), form) == 0 &&
            rest[form.size()] == '/')
            return true;
    }
    return false;
}

void add_form(char ***list, int *capacity, int *count, const std::string &form) {
    add_line(list, capacity, count, form.c_str());
    if (kx::trace_on(4))
        debug_print(4, "Package: %s\n", form.c_str());
}

// The three name forms (two with an epoch) of one package line.
void add_package(char ***list, int *capacity, int *count, const char *path, char *line) {
    char *save = nullptr;
    const char *delims = " \n\t";
    char *name = strtok_r(line, delims, &save);
    if (name == nullptr)
        error(1, errno, "Failed to read name from %s", path);
    char *arch = strtok_r(nullptr, delims, &save);
    if (arch == nullptr)
        error(1, errno, "Failed to read arch from %s", name);
    char *version = strtok_r(nullptr, delims, &save);
    if (version == nullptr)
        error(1, errno, "Failed to read version from %s", name);

    std::string form = std::string(name) + "_" + version + "_" + arch;
    size_t colon = form.find(':');
    if (colon != std::string::npos)
        form.replace(colon, 1, "%3a");
    add_form(list, capacity, count, form);
    add_form(list, capacity, count, std::string(name) + "-" + version + "." + arch);
    if (std::strchr(version, ':') == nullptr)
        add_form(list, capacity, count, std::string(name) + "-0:" + version + "." + arch);
}

// The prefix of a config path line below the template root: the three
// components after it, with the slashes between them as they are.
bool os_prefix_of(std::string_view line, std::string_view root, std::string &prefix) {
    std::string_view rest = line.substr(root.size());
    size_t at = rest.find_first_not_of('/');
    if (at == std::string_view::npos)
        return false;
    rest.remove_prefix(at);
    size_t end = 0;
    for (int component = 0; component < 3; ++component) {
        end = rest.find('/', end);
        if (end == std::string_view::npos)
            return false;
        if (component < 2) {
            end = rest.find_first_not_of('/', end);
            if (end == std::string_view::npos)
                return false;
        }
    }
    prefix.assign(rest.substr(0, end));
    return true;
}

}  // namespace

void add_line(char ***list, int *capacity, int *count, const char *s) {
    if (*count + 1 >= *capacity) {
        *capacity += 10;
        size_t bytes = static_cast<size_t>(*capacity) * sizeof(char *);
        void *grown = std::realloc(*list, bytes);
        if (grown == nullptr)
            error(1, errno, "Failed to allocate %d", static_cast<int>(bytes));
        *list = static_cast<char **>(grown);
    }
    (*list)[(*count)++] = xstrdup(s);
    (*list)[*count] = nullptr;
    package_index.stale = true;
}

namespace {

// Builds the list from every line of in (shown as path in messages).
char **read_package_lines(FILE *in, const char *path) {
    char **list = nullptr;
    int capacity = 0, count = 0;
    std::string line;
    kx::LineReader lines(in);
    for (kx::LineReader::Result r; (r = lines.next(line)) != kx::LineReader::end;) {
        if (r == kx::LineReader::too_long)
            error(1, 0, "Line %zu of '%s' is longer than %zu bytes", lines.number(), path,
                  kx::kLineMax);
        add_package(&list, &capacity, &count, path, line.data());
    }
    kxpackages_array = list;
    return list;
}

// Opens name below dirfd for reading: a regular file reached without a
// link, never a fifo waited for. Null when there is none.
FILE *open_area_file(int dirfd, const char *name) {
    kx::Fd fd(kx::open_beneath(dirfd, name, O_RDONLY | O_NONBLOCK | O_NOCTTY));
    struct stat st;
    if (!fd.ok() || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode))
        return nullptr;
    FILE *in = ::fdopen(fd.get(), "r");
    if (in)
        fd.release();
    return in;
}

// The prefix named by the package tool for the template name os_template
// (a value of the configuration shown as config_path).
char *prefix_of_template(const char *os_template, const char *config_path) {
    // The value comes from the area: one that the package tool would read
    // as an option is no template name and is never passed on.
    if (!os_template || os_template[0] == '-' || os_template[0] == '\0') {
        if (kx::trace_on(4))
            debug_print(4, "Failed to read OSTEMPLATE from %s\n", config_path);
        return nullptr;
    }
    std::string output;
    kx::RunResult run = kx::run_command({"kxpkg", "info", "-q", os_template, "config_path"},
                                        kx::kRunSearchPath, &output, 64 * 1024);
    // A tool that cannot be started prints nothing, as a shell would.
    if (run.start_error != 0 || output.empty()) {
        if (kx::trace_on(4))
            debug_print(4, "Failed to get config_path\n");
        return nullptr;
    }
    // The first line, its newline included when there is one, as far as a
    // C string reaches.
    size_t end = std::strlen(output.c_str());
    if (size_t newline = output.find('\n'); newline < end)
        end = newline + 1;
    std::string line(output.c_str(), end);
    std::string root = kx::host_path(kx::kTemplateRoot);
    if (line.compare(0, root.size(), root) != 0)
        return nullptr;
    std::string prefix;
    if (!os_prefix_of(line, root, prefix)) {
        // The line's own newline stays a newline: it is the package
        // tool's, not a name's.
        if (kx::trace_on(2) && !line.empty() && line.back() == '\n')
            debug_print(2, "Wrong config_path: %s\n\n", line.substr(0, line.size() - 1).c_str());
        else if (kx::trace_on(2))
            debug_print(2, "Wrong config_path: %s\n", line.c_str());
        return nullptr;
    }
    ostemplate_prefix = xstrdup(prefix.c_str());
    if (kx::trace_on(4))
        debug_print(4, "Prefix: %s\n", ostemplate_prefix);
    return ostemplate_prefix;
}

}  // namespace

char **read_templates(const char *path) {
    std::unique_ptr<FILE, int (*)(FILE *)> in(std::fopen(path, "re"), std::fclose);
    if (!in)
        error(1, errno, "Unable to open '%s'", path);
    return read_package_lines(in.get(), path);
}

char **read_templates_at(int dirfd, const char *name, const char *dir_shown) {
    std::unique_ptr<FILE, int (*)(FILE *)> in(open_area_file(dirfd, name), std::fclose);
    if (!in)
        return nullptr;
    return read_package_lines(in.get(), kx::shown_path(dir_shown, name).c_str());
}

char *get_os_prefix(const char *config_path) {
    std::unique_ptr<char, kx::FreeDeleter> os_template(
        read_ve_file_config_param(config_path, "OSTEMPLATE"));
    return prefix_of_template(os_template.get(), config_path);
}

char *get_os_prefix_at(int dirfd, const char *name, const char *dir_shown) {
    const std::string shown = kx::shown_path(dir_shown, name);
    std::unique_ptr<FILE, int (*)(FILE *)> in(open_area_file(dirfd, name), std::fclose);
    std::unique_ptr<char, kx::FreeDeleter> os_template(
        in ? kx::read_config_param(in.get(), shown.c_str(), "OSTEMPLATE") : nullptr);
    return prefix_of_template(os_template.get(), shown.c_str());
}

int check_template_pointer(const char *name, const char *target) {
    if (kxpackages_array == nullptr || target == nullptr || ostemplate_prefix == nullptr ||
        !kx::is_magic(target))
        return 0;
    std::string_view rest(target);
    rest.remove_prefix(std::min(rest.find_first_not_of('/'), rest.size()));
    if (rest.substr(0, 2) == "vc")
        return 0;
    std::string_view prefix(ostemplate_prefix);
    if (rest.substr(0, prefix.size()) != prefix) {
        if (kx::trace_on(2))
            debug_print(2, "Pointer %s link to wrong os template: %s\n", name, target);
        return 1;
    }
    rest.remove_prefix(prefix.size());
    rest.remove_prefix(std::min(rest.find_first_not_of('/'), rest.size()));
    if (has_package(rest)) {
        if (kx::trace_on(4))
            debug_print(4, "Success: %s\n", target);
        return 0;
    }
    if (kx::trace_on(2))
        debug_print(2, "Pointer %s link to wrong package: '%s'\n", name, target);
    return 1;
}
