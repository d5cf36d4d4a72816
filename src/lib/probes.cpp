// Questions put to the host before an area is touched: is it mounted as
// KXFS, is it laid out for KXFS at all, a fresh UUID, and the inode usage
// the quota tool reports. None of them prints or exits.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>
#include <uuid/uuid.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "host.h"
#include "libkxctl.h"
#include "libkxfsutil.h"
#include "process.h"
#include "messages.h"

namespace {

// The whole of a file whose size stat cannot tell (the mount table).
bool read_whole(const std::string &path, std::string &data) {
    kx::Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd.ok())
        return false;
    return kx::read_all(fd.get(), data);
}

// Takes the next line (without its newline) off text; false at the end.
bool next_line(std::string_view &text, std::string_view &line) {
    if (text.empty())
        return false;
    size_t end = text.find('\n');
    line = text.substr(0, end);
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    return true;
}

// Three integers as "%14i %14i %14i" reads them; the first is returned.
bool parse_quota_line(std::string_view line, int &first) {
    std::string copy(line);
    long long a, b, c;
    if (std::sscanf(copy.c_str(), "%14lli %14lli %14lli", &a, &b, &c) != 3)
        return false;
    first = a > INT_MAX ? INT_MAX : a < INT_MIN ? INT_MIN : static_cast<int>(a);
    return true;
}

}  // namespace

int check_mount_kxfs(const char *path) {
    if (path == nullptr)
        return 0;
    std::string table;
    if (!read_whole(kx::host_path(kx::kProcMounts), table))
        return 0;
    // A mounted area appears on a KXFS line as ":<path> ".
    std::string pattern = ":";
    pattern.append(path).append(" ");
    std::string_view rest(table), line;
    while (next_line(rest, line)) {
        if (line.find("kxfs") != std::string_view::npos &&
            line.find(pattern) != std::string_view::npos)
            return 1;
    }
    return 0;
}

int check_support_fs(const char *path) {
    return kxctl_env_layout_version(path) <= 4 ? 1 : 0;
}

char *generate_uuid(void) {
    uuid_t id;
    char text[37];
    uuid_generate(id);
    uuid_unparse(id, text);
    return strdup(text);
}

int get_inodes_count(int veid) {
    std::string output;
    kx::RunResult run = kx::run_command(
        {kx::host_path(kx::kQuotaTool), "-b", "stat", std::to_string(veid)},
        kx::kRunQuietStderr, &output, 64 * 1024);
    // A tool that cannot be started prints nothing, as a shell would.
    std::string_view rest(output), line;
    int figure;
    if (run.start_error != 0 || !next_line(rest, line) || !parse_quota_line(line, figure)) {
        if (kx::trace_on(4))
            debug_print(4, "Error while reading block quota for VPS %d\n", veid);
        return -1;
    }
    int inodes;
    if (!next_line(rest, line) || !parse_quota_line(line, inodes)) {
        if (kx::trace_on(4))
            debug_print(4, "Error while reading inode quota for VPS %d\n", veid);
        return -2;
    }
    return inodes;
}
