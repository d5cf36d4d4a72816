// Unfinished work of an area: see unfinished.h. Nothing found in the area
// is followed; the host's configuration directory and the paths its files
// name belong to the host.
#include "unfinished.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "area.h"
#include "base.h"
#include "check.h"
#include "host.h"
#include "walk.h"
#include "libkxfsutil.h"

namespace {

// The tools' work directory and state files (kxfsdirindex, kxfsclone).
constexpr const char *kDirindexWork = ".kxfsdirindex.tmp";
constexpr std::string_view kCloneState = ".kxfsclone";

// A word as a shell reads it back: as it is when it holds only characters
// no shell treats specially, else in single quotes.
std::string shell_word(std::string_view word) {
    if (!word.empty() && word.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
                                                "0123456789_./,:+@%=-") == std::string_view::npos)
        return std::string(word);
    std::string quoted = "'";
    for (char c : word) {
        if (c == '\'')
            quoted += "'\\''";
        else
            quoted += c;
    }
    return quoted + "'";
}

// The private area container veid's configuration names, "" when there is
// none; $VEID in it stands for the number, as the tools read it.
std::string private_area_of(int veid) {
    std::string conf = kx::host_path(kx::kConfigDir) + "/" + std::to_string(veid) + ".conf";
    // The reader ends the process on a file it cannot open: only one that
    // opens is given to it.
    if (::access(conf.c_str(), R_OK) != 0)
        return {};
    std::unique_ptr<char, kx::FreeDeleter> value(read_ve_file_config_param(conf.c_str(), "VE_PRIVATE"));
    if (!value)
        return {};
    std::string path(value.get());
    size_t at = path.find("$VEID");
    if (at != std::string::npos)
        path.replace(at, 5, std::to_string(veid));
    return path;
}

// Whether path is the area's directory (the same inode).
bool names_area(const std::string &path, const struct stat &area_st) {
    struct stat st;
    return !path.empty() && ::stat(path.c_str(), &st) == 0 && kx::same_inode(st, area_st.st_dev, area_st.st_ino);
}

// A number as a whole file-name part, or 0.
int number_of(std::string_view digits) {
    if (digits.empty() || digits.size() > 9 || digits.find_first_not_of("0123456789") != std::string_view::npos)
        return 0;
    return std::atoi(std::string(digits).c_str());
}

// The numbers of the configuration directory's files that end in suffix;
// none when the directory cannot be listed to its end.
std::vector<int> numbered_files(std::string_view suffix) {
    std::vector<int> found;
    kx::Fd dir(::open(kx::host_path(kx::kConfigDir).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    bool listed = dir.ok() && kx::each_entry(dir.get(), kx::Listing::streamed, nullptr,
                                             [&](const char *entry, unsigned char) {
        std::string_view name(entry);
        if (name.size() > suffix.size() && name.ends_with(suffix))
            if (int n = number_of(name.substr(0, name.size() - suffix.size())))
                found.push_back(n);
        return true;
    });
    if (!listed)
        found.clear();
    return found;
}

// The state file of an interrupted kxfsclone run for container veid: its
// first line says what ran ("clone SRC ..." or "correct SRC ...").
bool clone_state(int veid, std::string &path, std::string &kind, int &src) {
    path = kx::host_path(kx::kConfigDir) + "/" + std::to_string(veid) + std::string(kCloneState);
    kx::Fd fd(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    struct stat st;
    std::string text;
    if (!fd.ok() || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) || !kx::read_all(fd.get(), text))
        return false;
    char word[16];
    if (std::sscanf(text.c_str(), "%15s %d", word, &src) != 2)
        return false;
    kind = word;
    return kind == "clone" || kind == "correct";
}

}  // namespace

std::vector<unfinished_work> find_unfinished_work() {
    std::vector<unfinished_work> found;
    const std::string area_word = shell_word(area->area.path);
    const std::string template_word = shell_word(temp_dir ? temp_dir : kx::kTemplateRoot);
    struct stat area_st;
    const bool area_known = ::fstat(area->area.fd, &area_st) == 0;
    int ctid = 0;
    if (area_known) {
        for (int n : numbered_files(".conf")) {
            if (names_area(private_area_of(n), area_st)) {
                ctid = n;
                break;
            }
        }
    }

    if (std::strcmp(area_version, "999.999") == 0) {
        std::string command = "kxfsutil --upgrade";
        if (ctid > 0)
            command += " --ctid=" + std::to_string(ctid);
        found.push_back({"upgrade", kx::join(area->tree.path, "VERSION"),
                         command + " -t " + template_word + " " + area_word});
    }
    struct stat st;
    if (area->tree.fd >= 0 && ::fstatat(area->tree.fd, kDirindexWork, &st, AT_SYMLINK_NOFOLLOW) == 0)
        found.push_back({"dirindex", kx::join(area->tree.path, kDirindexWork),
                         "kxfsdirindex -t " + template_word + " " + area_word});
    if (area_known) {
        for (int n : numbered_files(kCloneState)) {
            std::string path, kind;
            int src = 0;
            if (!clone_state(n, path, kind, src) || !names_area(private_area_of(n), area_st))
                continue;
            found.push_back({"clone", path,
                             kind == "correct" ? "kxfsclone -c " + std::to_string(n)
                                               : "kxfsclone " + std::to_string(src) + " " + std::to_string(n)});
        }
    }
    return found;
}

void warn_unfinished_work(bool upgrading) {
    for (const unfinished_work &w : find_unfinished_work()) {
        if (upgrading && std::strcmp(w.kind, "upgrade") == 0)
            continue;
        if (std::strcmp(w.kind, "upgrade") == 0)
            warning(0, "unfinished upgrade: '%s' reads 999.999; to finish it, run: %s", w.what.c_str(),
                    w.command.c_str());
        else
            warning(0, "unfinished %s run: '%s' is left; to finish it, run: %s",
                    std::strcmp(w.kind, "dirindex") == 0 ? "kxfsdirindex" : "kxfsclone", w.what.c_str(),
                    w.command.c_str());
    }
}
