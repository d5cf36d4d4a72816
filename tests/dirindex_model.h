// The writer's model loaded from chosen records, for the dirindex suites
// and the fuzzer's seed generator. Needs nothing but the library.
#ifndef KXFS_TESTS_DIRINDEX_MODEL_H
#define KXFS_TESTS_DIRINDEX_MODEL_H

#include "libkxfsutil.h"

#include <cstdint>
#include <string>
#include <vector>

namespace dirtest {

// One record to put into an index; an empty target means none.
struct Rec {
    std::string name;
    uint8_t type = 8;
    uint32_t ino = 2;
    std::string target;
};

// Loads the records into the writer's model, in this order.
inline void load_model(const std::vector<Rec> &recs) {
    clean_memory();
    tot = dtot = emitted = 0;
    for (const Rec &r : recs) {
        auto *e = static_cast<struct dent *>(xmalloc(sizeof(struct dent)));
        e->name = xstrdup(r.name.c_str());
        e->namelen = static_cast<uint16_t>(r.name.size());
        e->type = r.type;
        e->ino = r.ino;
        e->target = r.target.empty() ? nullptr : pool_add(r.target.c_str());
        if (dlist_end)
            dlist_end->next = e;
        else
            dlist = e;
        dlist_end = e;
        ++tot;
        if (r.type == 4)
            ++dtot;
    }
}

}  // namespace dirtest

#endif
