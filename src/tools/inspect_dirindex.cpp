// The inspector's texts and its report of one dirindex image: the header,
// the bucket table, the records as found and the library's own check of
// them. Shared by the program and by the fuzz target, which checks the
// JSON of every input it makes. Nothing is changed on disk.
#include "inspect.h"

#include "area.h"
#include "dirindex_format.h"
#include "libkxfsutil.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

using json = nlohmann::json;
namespace dx = kx::dirindex;

namespace kxinspect {

[[noreturn]] void unreadable(std::string why) {
    throw Unreadable{std::move(why)};
}

std::string quoted_error(const char *what, std::string_view path, int err) {
    return std::string(what) + " '" + std::string(path) + "': " + std::strerror(err);
}

// ---- texts: JSON values and printable lines ---------------------------------

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
bool valid_utf8(std::string_view s) {
    const auto *p = reinterpret_cast<const unsigned char *>(s.data());
    size_t n = s.size(), i = 0;
    while (i < n) {
        unsigned char c = p[i];
        size_t len;
        uint32_t cp;
        if (c < 0x80) {
            ++i;
            continue;
        } else if (c >= 0xC2 && c <= 0xDF) {
            len = 2, cp = c & 0x1F;
        } else if (c >= 0xE0 && c <= 0xEF) {
            len = 3, cp = c & 0x0F;
        } else if (c >= 0xF0 && c <= 0xF4) {
            len = 4, cp = c & 0x07;
        } else {
            return false;
        }
        if (n - i < len)
            return false;
        for (size_t k = 1; k < len; ++k) {
            if ((p[i + k] & 0xC0) != 0x80)
                return false;
            cp = (cp << 6) | (p[i + k] & 0x3F);
        }
        if ((len == 3 && (cp < 0x800 || (cp >= 0xD800 && cp <= 0xDFFF))) ||
            (len == 4 && (cp < 0x10000 || cp > 0x10FFFF)))
            return false;
        i += len;
    }
    return true;
}

std::string to_hex(std::string_view s) {
    static const char digits[] = "0123456789abcdef";
    std::string h;
    h.reserve(2 * s.size());
    for (unsigned char c : s) {
        h += digits[c >> 4];
        h += digits[c & 0xF];
    }
    return h;
}

// A name or text of the area as a JSON value: a string when it is valid
// UTF-8, else {"hex": ...} with its bytes, so that nothing is lost.
json text_value(std::string_view s) {
    if (valid_utf8(s))
        return std::string(s);
    return json{{"hex", to_hex(s)}};
}

std::string from_hex(const std::string &h) {
    std::string s;
    for (size_t i = 0; i + 1 < h.size(); i += 2)
        s += static_cast<char>(std::stoi(h.substr(i, 2), nullptr, 16));
    return s;
}

// The bytes a text value stands for.
std::string bytes_of(const json &v) {
    if (v.is_string())
        return v.get<std::string>();
    if (v.is_object() && v.contains("hex"))
        return from_hex(v["hex"].get<std::string>());
    return {};
}

// Bytes for a terminal: control characters, a backslash and bytes that are
// not UTF-8 are written as escapes, so that an area's names cannot drive
// the operator's terminal.
std::string shown(std::string_view s) {
    std::string out;
    size_t i = 0;
    auto escape = [&out](unsigned char c) {
        char b[5];
        std::snprintf(b, sizeof b, "\\x%02x", c);
        out += b;
    };
    while (i < s.size()) {
        auto c = static_cast<unsigned char>(s[i]);
        if (c == '\\') {
            out += "\\\\";
            ++i;
        } else if (c < 0x20 || c == 0x7F) {
            escape(c);
            ++i;
        } else if (c < 0x80) {
            out += static_cast<char>(c);
            ++i;
        } else {
            size_t len = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : 2;
            std::string_view seq = s.substr(i, len);
            if (seq.size() == len && valid_utf8(seq)) {
                out += seq;
                i += len;
            } else {
                escape(c);
                ++i;
            }
        }
    }
    return out;
}

std::string shown_value(const json &v) {
    return v.is_null() ? std::string("-") : shown(bytes_of(v));
}

// "regular", "directory", ... for a file type.
const char *type_name(mode_t mode) {
    switch (mode & S_IFMT) {
    case S_IFREG:
        return "regular";
    case S_IFDIR:
        return "directory";
    case S_IFLNK:
        return "symlink";
    case S_IFIFO:
        return "fifo";
    case S_IFCHR:
        return "character device";
    case S_IFBLK:
        return "block device";
    case S_IFSOCK:
        return "socket";
    default:
        return "unknown";
    }
}

// The type of the object at a trusted host path (never followed), or null.
json host_type(const std::string &path) {
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0)
        return nullptr;
    return type_name(st.st_mode);
}

// ---- reading files without changing them ------------------------------------

// Opens name beneath dirfd read-only, no-follow and non-blocking, without
// an access-time update where the process may ask for that (owner or
// CAP_FOWNER).
int open_quietly(int dirfd, const char *name) {
    int flags = O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
    int fd = ::openat(dirfd, name, flags | O_NOATIME);
    if (fd < 0 && errno == EPERM)
        fd = ::openat(dirfd, name, flags);
    return fd;
}

namespace {

// The regular file name beneath dirfd, opened to be read; its status in
// fst. Anything that is not a regular file is refused before it is opened.
kx::Fd open_regular(int dirfd, const char *name, const std::string &shown_path, struct stat &fst) {
    struct stat st;
    if (::fstatat(dirfd, name, &st, AT_SYMLINK_NOFOLLOW) != 0)
        unreadable(quoted_error("can't open", shown_path, errno));
    if (!S_ISREG(st.st_mode))
        unreadable("'" + shown_path + "' is not a regular file (" + type_name(st.st_mode) + ")");
    kx::Fd fd(open_quietly(dirfd, name));
    if (!fd.ok())
        unreadable(quoted_error("can't open", shown_path, errno));
    if (::fstat(fd.get(), &fst) != 0)
        unreadable(quoted_error("can't fstat", shown_path, errno));
    if (!S_ISREG(fst.st_mode) || fst.st_ino != st.st_ino || fst.st_dev != st.st_dev)
        unreadable("'" + shown_path + "' changed while it was opened");
    return fd;
}

std::string read_open(int fd, const struct stat &fst, const std::string &shown_path) {
    std::string bytes;
    bytes.reserve(static_cast<size_t>(fst.st_size));
    if (!kx::read_all(fd, bytes))
        unreadable(quoted_error("can't read", shown_path, errno));
    return bytes;
}

}  // namespace

std::string read_regular(int dirfd, const char *name, const std::string &shown_path) {
    struct stat fst;
    kx::Fd fd = open_regular(dirfd, name, shown_path, fst);
    // Offsets in a dirindex are 32-bit: no file the tools read is larger.
    if (static_cast<uint64_t>(fst.st_size) > dx::kFileMax)
        unreadable("'" + shown_path + "' is too large (" + std::to_string(fst.st_size) + " bytes)");
    return read_open(fd.get(), fst, shown_path);
}

std::optional<std::string> read_index(int dirfd, const char *name, const std::string &shown_path,
                                      uint64_t &size) {
    struct stat fst;
    kx::Fd fd = open_regular(dirfd, name, shown_path, fst);
    size = static_cast<uint64_t>(fst.st_size);
    if (!dx::may_be_index(fd.get(), size))
        return std::nullopt;
    return read_open(fd.get(), fst, shown_path);
}

json unreadable_index_report(const std::string &name, uint64_t size) {
    return json{{"size", size},
                {"header", nullptr},
                {"buckets", nullptr},
                {"records", json::array()},
                {"records_complete", false},
                {"check",
                 {{"result", "broken"},
                  {"findings", json::array({text_value(quoted_error("can't mmap dirindex file", name, EFBIG))})}}},
                {"problems", true}};
}

// ---- the dirindex report ------------------------------------------------------

// The records in file order from start, as far as they can be read: the
// walk ends at the end record, at the end of the file, or before the first
// record whose head or name runs past the end or whose reclen cannot lead
// on. complete says whether it reached the end record or the end of file.
std::vector<Record> list_records(std::string_view file, bool &complete) {
    const auto *base = reinterpret_cast<const unsigned char *>(file.data());
    uint64_t size = file.size();
    std::vector<Record> out;
    complete = true;
    if (size < dx::kHeaderSize)
        return out;
    uint64_t pos = dx::load32(base + dx::kStartAt);
    if (pos == 0)
        return out;
    complete = false;
    while (pos + dx::kHeadSize <= size) {
        const unsigned char *r = base + pos;
        Record rec{pos, r[dx::kTypeAt], r[dx::kFlagsAt], dx::load16(r + dx::kNamelenAt),
                   dx::load32(r + dx::kReclenAt), dx::load32(r + dx::kInoAt),
                   dx::load32(r + dx::kLinkAt), {}, std::nullopt};
        if (pos + dx::kHeadSize + rec.namelen > size)
            return out;
        rec.name = file.substr(pos + dx::kHeadSize, rec.namelen);
        if (rec.link != 0 && uint64_t(rec.link) + dx::kTlenSize <= size) {
            uint32_t tlen = dx::load32(base + rec.link);
            if (uint64_t(rec.link) + dx::kTlenSize + tlen <= size)
                rec.target = file.substr(rec.link + dx::kTlenSize, tlen);
        }
        out.push_back(rec);
        if (rec.flags & DENT_EOF) {
            complete = true;
            return out;
        }
        if (rec.reclen < dx::kReclenMin || pos + rec.reclen > size)
            return out;
        pos += rec.reclen;
        if (pos == size) {
            complete = true;
            return out;
        }
    }
    return out;
}

// The findings of the library's structural check, taken from its traces:
// while it lives, every trace goes here instead of standard error.
class Findings {
public:
    Findings() : saved_level_(kxfsutil_debug_level) {
        kxfsutil_debug_level = 4;
        set_message_hook(&Findings::take, this);
    }
    ~Findings() {
        set_message_hook(nullptr, nullptr);
        kxfsutil_debug_level = saved_level_;
    }
    Findings(const Findings &) = delete;
    Findings &operator=(const Findings &) = delete;
    const std::vector<std::string> &texts() const { return texts_; }

private:
    // Only the findings: the check's listing of records goes by as well.
    static void take(void *data, int, const char *text) {
        std::string_view t(text);
        if (t.starts_with("FATAL: ") || t.starts_with("WARNING: ") ||
            t.starts_with("Lost link in 'dirindex' ")) {
            if (t.ends_with('\n'))
                t.remove_suffix(1);
            static_cast<Findings *>(data)->texts_.emplace_back(t);
        }
    }
    int saved_level_;
    std::vector<std::string> texts_;
};

// The library's check of a copy of the bytes (the check marks its copy):
// -2 broken, 0 sound, 1 lost links; findings when asked for.
int check_index(const std::string &name, const std::string &bytes, const char *template_root,
                std::vector<std::string> *findings) {
    std::string copy = bytes;
    char dummy = 0;
    void *map = copy.empty() ? static_cast<void *>(&dummy) : copy.data();
    if (!findings) {
        int saved = kxfsutil_debug_level;
        kxfsutil_debug_level = 0;
        int rc = fsck_in_core(name.c_str(), map, copy.size(), nullptr, template_root);
        kxfsutil_debug_level = saved;
        return rc;
    }
    Findings capture;
    int rc = fsck_in_core(name.c_str(), map, copy.size(), nullptr, template_root);
    *findings = capture.texts();
    return rc;
}

// The template path of a record's object: the root, the target without
// its prefix, the name.
std::string record_template_path(const std::string &root, const Record &rec) {
    std::string_view t = *rec.target;
    return root + "/" + std::string(t.size() > 4 ? t.substr(4) : std::string_view()) + "/" +
           std::string(rec.name);
}

bool record_leaves_template(const Record &rec) {
    std::string_view t = *rec.target;
    return kx::leaves_root(std::string(t.size() > 4 ? t.substr(4) : std::string_view()) + "/" +
                           std::string(rec.name));
}

json record_value(const Record &rec, uint32_t buckets, const char *template_root) {
    json r;
    r["offset"] = rec.offset;
    r["type"] = rec.type;
    r["type_letter"] = type_str(rec.type);
    r["flags"] = rec.flags;
    r["name"] = text_value(rec.name);
    r["namelen"] = rec.namelen;
    r["reclen"] = rec.reclen;
    r["ino"] = rec.ino;
    r["key"] = (rec.ino & 1) ? "template" : "real";
    r["inode"] = rec.ino >> 1;
    if (buckets != 0)
        r["bucket"] = dirindex_hash(rec.name.data(), rec.namelen) % buckets;
    else
        r["bucket"] = nullptr;
    r["link"] = rec.link;
    r["target"] = rec.target ? text_value(*rec.target) : json(nullptr);
    r["magic_target"] = rec.target ? text_value(std::string(*rec.target) + "/" + std::string(rec.name))
                                   : json(nullptr);
    if (template_root && rec.target) {
        std::string path = record_template_path(template_root, rec);
        r["template_path"] = text_value(path);
        // Nothing outside the template directory is looked at.
        r["template_type"] = record_leaves_template(rec) ? json(nullptr) : host_type(path);
    }
    return r;
}

// Follows every bucket's chain to count the used buckets and the longest
// chain, and notes which bucket reaches each record. A record is counted
// once: a chain that meets another one stops there, so a damaged table
// costs one pass over the file at most.
json bucket_value(std::string_view file, uint32_t buckets,
                  std::unordered_map<uint64_t, uint32_t> &reached_from) {
    const auto *base = reinterpret_cast<const unsigned char *>(file.data());
    uint64_t size = file.size();
    uint32_t used = 0, longest = 0;
    for (uint32_t i = 0; i < buckets; ++i) {
        uint64_t p = dx::load32(base + dx::kHeaderSize + 4 * uint64_t(i));
        if (p == 0)
            continue;
        ++used;
        uint32_t length = 0;
        while (p >= dx::table_end(buckets) && p + dx::kHeadSize <= size &&
               reached_from.emplace(p, i).second) {
            ++length;
            uint8_t flags = base[p + dx::kFlagsAt];
            uint32_t reclen = dx::load32(base + p + dx::kReclenAt);
            if ((flags & DENT_LAST_IN_BUCKET) || reclen < dx::kReclenMin)
                break;
            p += reclen;
        }
        longest = std::max(longest, length);
    }
    return json{{"count", buckets}, {"used", used}, {"longest_chain", longest}};
}


json dirindex_report(const std::string &name, const std::string &bytes, const char *template_root,
                     bool &problems) {
    json doc;
    doc["size"] = bytes.size();
    const auto *base = reinterpret_cast<const unsigned char *>(bytes.data());
    uint32_t buckets = 0;
    std::unordered_map<uint64_t, uint32_t> reached_from;
    if (bytes.size() >= dx::kHeaderSize) {
        unsigned char sum[4];
        dx::checksum(base, bytes.size(), sum);
        uint32_t stored = dx::load32(base + dx::kChecksumAt), computed = dx::load32(sum);
        uint32_t signature = dx::load32(base + dx::kSignatureAt);
        buckets = dx::load32(base + dx::kPrimeAt);
        doc["header"] = {{"signature", signature},
                         {"signature_ok", signature == dx::kSignature},
                         {"start", dx::load32(base + dx::kStartAt)},
                         {"dirs", dx::load32(base + dx::kDirsAt)},
                         {"prime", buckets},
                         {"checksum", stored},
                         {"checksum_computed", computed},
                         {"checksum_ok", stored == computed}};
        if (buckets != 0 && dx::table_end(buckets) <= bytes.size())
            doc["buckets"] = bucket_value(bytes, buckets, reached_from);
        else
            doc["buckets"] = nullptr;
    } else {
        doc["header"] = nullptr;
        doc["buckets"] = nullptr;
    }

    bool complete = true;
    json records = json::array();
    for (const Record &rec : list_records(bytes, complete)) {
        json r = record_value(rec, doc["buckets"].is_null() ? 0 : buckets, template_root);
        auto it = reached_from.find(rec.offset);
        r["chain"] = it == reached_from.end() ? json(nullptr) : json(it->second);
        records.push_back(std::move(r));
    }
    doc["records"] = std::move(records);
    doc["records_complete"] = complete;

    std::vector<std::string> findings;
    int rc = check_index(name, bytes, template_root, &findings);
    json texts = json::array();
    for (const std::string &t : findings)
        texts.push_back(text_value(t));
    doc["check"] = {{"result", rc == -2 ? "broken" : rc == 1 ? "lost_links" : "sound"},
                    {"findings", std::move(texts)}};
    problems = rc != 0 || !findings.empty();
    doc["problems"] = problems;
    return doc;
}

std::string dump(const json &doc) {
    return doc.dump(2, ' ', false, json::error_handler_t::strict);
}

}  // namespace kxinspect
