// The walks' shared pieces: the pending-directory stack, the filter of a
// directory's names, and the read-ahead stage of a copying walk.
#ifndef KXFS_WALK_H
#define KXFS_WALK_H

#include <functional>
#include <vector>

#include "area.h"

namespace kx {

// The names of one directory as a fixed-size bitmap of their hashes (two
// bits a name). A name that was listed always tests as present; one that
// was not tests absent but for a few percent at a million names. Lets a
// walk skip looking up names the directory never had, in bounded memory.
class NameFilter {
public:
    NameFilter() : bits_(kWords, 0) {}
    void add(std::string_view name) {
        size_t h = std::hash<std::string_view>{}(name);
        set(h & kMask);
        set((h >> kBits) & kMask);
    }
    bool may_hold(std::string_view name) const {
        size_t h = std::hash<std::string_view>{}(name);
        return test(h & kMask) && test((h >> kBits) & kMask);
    }
    // Fills the filter from the listing of dirfd (read anew: dirfd keeps
    // its offset). False when the listing could not be read to its end:
    // the filter then holds only part of it.
    bool add_listing(int dirfd) {
        Dir dir = list_anew(dirfd, true);
        if (!dir.ok())
            return false;
        for (;;) {
            errno = 0;
            struct dirent *e = ::readdir(dir.get());
            if (e == nullptr)
                return errno == 0;
            add(e->d_name);
        }
    }

private:
    static constexpr unsigned kBits = 23;  // 8 Mi bits, 1 MiB
    static constexpr size_t kMask = (size_t{1} << kBits) - 1;
    static constexpr size_t kWords = (size_t{1} << kBits) / 64;
    void set(size_t i) { bits_[i / 64] |= uint64_t{1} << (i % 64); }
    bool test(size_t i) const { return (bits_[i / 64] >> (i % 64)) & 1; }
    std::vector<uint64_t> bits_;
};

// Pushes a pending directory at the head of the stack; the node owns a copy
// of path.
inline void push_dir(struct dir_stack *stack, const std::string &path) {
    auto *node = static_cast<struct dir_node *>(xmalloc(sizeof(struct dir_node)));
    node->path = xstrdup(path.c_str());
    node->next = stack->head;
    stack->head = node;
    stack->count++;
}


// A read-ahead stage for a walk whose own thread writes as much as it reads
// (a copy), when walks run one: fewer threads on a machine with few cores.
struct ::readahead_stage *writing_walk_readahead(int rootfd, int flags);

}  // namespace kx

#endif
