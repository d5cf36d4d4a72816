// The inspector's shared pieces: its texts (JSON values that keep every
// byte, lines that cannot drive a terminal), the reading of a file without
// changing it, and the report of one dirindex image, which the fuzz target
// checks for every input it makes.
#ifndef KXFS_INSPECT_H
#define KXFS_INSPECT_H

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

namespace kxinspect {

// A file or directory that cannot be read: the subcommand ends with status 3.
struct Unreadable {
    std::string why;
};
[[noreturn]] void unreadable(std::string why);

// "<what> '<path>': <system text>".
std::string quoted_error(const char *what, std::string_view path, int err);

// A name or text as a JSON value: a string when it is valid UTF-8, else
// {"hex": "<its bytes in lowercase hexadecimal>"}.
nlohmann::json text_value(std::string_view s);

// Bytes for a terminal: control characters, a backslash and bytes that are
// not UTF-8 are written as escapes.
std::string shown(std::string_view s);
// A text value for a terminal; "-" for null.
std::string shown_value(const nlohmann::json &v);

// "regular", "directory", ... for a file type.
const char *type_name(mode_t mode);
// The type of the object at a trusted host path (never followed), or null.
nlohmann::json host_type(const std::string &path);

// The whole content of the regular file name beneath dirfd (shown_path in
// messages); anything else is Unreadable.
std::string read_regular(int dirfd, const char *name, const std::string &shown_path);

// The whole content of the dirindex file name beneath dirfd, as
// read_regular reads it; nothing, without reading it, when the file is
// larger than any index or has holes no index has (it is broken then).
// size is set to the file's size.
std::optional<std::string> read_index(int dirfd, const char *name, const std::string &shown_path,
                                      uint64_t &size);
// The document of the dirindex subcommand for an index read_index refused.
nlohmann::json unreadable_index_report(const std::string &name, uint64_t size);

// One record as found in a dirindex file; name and target view its bytes.
struct Record {
    uint64_t offset;
    uint8_t type, flags;
    uint16_t namelen;
    uint32_t reclen, ino, link;
    std::string_view name;
    std::optional<std::string_view> target;  // when link names a readable block
};

// The records in file order, as far as they can be read; complete says
// whether the walk reached the end record or the end of the file.
std::vector<Record> list_records(std::string_view file, bool &complete);
// The template path of a record's object: the root, the target without its
// prefix, the name.
std::string record_template_path(const std::string &root, const Record &rec);
// Whether that path climbs out of the template directory (a record with a
// target only).
bool record_leaves_template(const Record &rec);
nlohmann::json record_value(const Record &rec, uint32_t buckets, const char *template_root);
// The library's check of a copy of the bytes: -2 broken, 0 sound, 1 lost
// links; its findings when asked for.
int check_index(const std::string &name, const std::string &bytes, const char *template_root,
                std::vector<std::string> *findings);

// The document of the dirindex subcommand for the bytes of one index file
// (name is used in the findings' texts only). With template_root, records
// whose template object is missing are lost links. problems is set when
// the check found anything at all. Never changes anything on disk.
nlohmann::json dirindex_report(const std::string &name, const std::string &bytes,
                               const char *template_root, bool &problems);

// The document as text: each name that is not valid UTF-8 is the object
// {"hex": "<its bytes in lowercase hexadecimal>"}.
std::string dump(const nlohmann::json &doc);

}  // namespace kxinspect

#endif
