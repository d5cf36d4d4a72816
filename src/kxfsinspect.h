// The inspector's report of one dirindex image, shared with the fuzz target
// that checks the JSON of every input it makes.
#ifndef KXFSINSPECT_H
#define KXFSINSPECT_H

#include <string>

#include <nlohmann/json.hpp>

namespace kxinspect {

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
