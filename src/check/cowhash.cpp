// The cow hash: the names of all cow files of the area, loaded before the
// scan, ticked off as marked magic links claim them; what is left at the end
// are the lost cow files. It relies only on the library's gethash and
// message functions.
//
// 65536 buckets of doubly linked lists; a name's bucket is the low 16 bits
// of gethash. A lookup walks one bucket, unlinking touches only the node's
// neighbours and the bucket's ends, and first_cow_item starts at the lowest
// bucket that may still hold a name, so emptying the hash one name after
// the other is linear in the number of names.
#include <cstdlib>
#include <cstring>

#include "check.h"
#include "base.h"
#include "messages.h"

namespace {

constexpr unsigned kBuckets = 65536;

struct cow_node {
    char *name;  // the node's own copy, stored right behind the node
    cow_node *prev;
    cow_node *next;
};

struct cow_bucket {
    cow_node *head;
    cow_node *tail;
};

cow_bucket cow_hash[kBuckets];
// No bucket below this index holds a name.
unsigned lowest_bucket = 0;

unsigned bucket_of(const char *name) {
    return static_cast<unsigned>(gethash(name, static_cast<int>(std::strlen(name)))) & 0xFFFFu;
}

}  // namespace

void init_cow_hash(void) {
    for (cow_bucket &b : cow_hash)
        b.head = b.tail = nullptr;
    lowest_bucket = kBuckets;
}

int add_cow_item(const char *filename) {
    KX_ASSERT(filename);
    size_t len = std::strlen(filename);
    auto *node = static_cast<cow_node *>(xmalloc(sizeof(cow_node) + len + 1));
    node->name = reinterpret_cast<char *>(node + 1);
    std::memcpy(node->name, filename, len + 1);
    unsigned i = bucket_of(filename);
    cow_bucket &b = cow_hash[i];
    node->prev = b.tail;
    node->next = nullptr;
    if (b.tail)
        b.tail->next = node;
    else
        b.head = node;
    b.tail = node;
    if (i < lowest_bucket)
        lowest_bucket = i;
    if (kx::trace_on(4))
        debug_print(4, "added %s into cow hash\n", filename);
    return 0;
}

int remove_cow_item(const char *filename) {
    KX_ASSERT(filename);
    cow_bucket &b = cow_hash[bucket_of(filename)];
    cow_node *node = b.head;
    while (node && std::strcmp(node->name, filename) != 0)
        node = node->next;
    if (node == nullptr)
        return -1;
    if (node->prev)
        node->prev->next = node->next;
    else
        b.head = node->next;
    if (node->next)
        node->next->prev = node->prev;
    else
        b.tail = node->prev;
    // The caller may pass the node's own copy: print before it goes.
    if (kx::trace_on(4))
        debug_print(4, "removed %s from cow hash\n", filename);
    std::free(node);
    return 0;
}

const char *first_cow_item(void) {
    while (lowest_bucket < kBuckets && cow_hash[lowest_bucket].head == nullptr)
        ++lowest_bucket;
    return lowest_bucket < kBuckets ? cow_hash[lowest_bucket].head->name : nullptr;
}
