// Work an interrupted run of a tool left in an area, found so that the
// checker and the inspector can name it with the command that finishes it:
// an upgrade that stopped with the version link at 999.999, the work
// directory of an interrupted kxfsdirindex, the state file of an
// interrupted kxfsclone in the host's configuration directory.
#ifndef KXFS_UNFINISHED_H
#define KXFS_UNFINISHED_H

#include <string>
#include <vector>

struct unfinished_work {
    const char *kind;     // "upgrade", "dirindex" or "clone"
    std::string what;     // what shows it: the version link, the directory, the state file
    std::string command;  // the command line that finishes the work
};

// The unfinished work of the area being checked (area, area_version and
// temp_dir of the check). Reads the area through its handle and the
// host's configuration directory; changes nothing.
std::vector<unfinished_work> find_unfinished_work();

// Warns of each unfinished work of the area, naming its command; with
// upgrading, an upgrade stopped at 999.999 is left out (this run finishes it).
void warn_unfinished_work(bool upgrading);

#endif
