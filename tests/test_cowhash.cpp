// The checker's cow hash, compiled into the test: bucket order, duplicates,
// removal, and draining a hash of hundreds of thousands of names the way
// the lost-cow pass does.
#include <set>
#include <string>
#include <vector>

#include "check.h"
#include "kxtest.h"

namespace {

unsigned bucket(const std::string &s) {
    return static_cast<unsigned>(gethash(s.data(), static_cast<int>(s.size()))) & 0xFFFF;
}

// Drains the hash as the lost-cow pass does; the names in the order given.
std::vector<std::string> drain() {
    std::vector<std::string> names;
    while (const char *name = first_cow_item()) {
        names.emplace_back(name);
        EXPECT_EQ(remove_cow_item(name), 0);
    }
    return names;
}

TEST(CowHash, EmptyHashHasNoFirstName) {
    init_cow_hash();
    EXPECT_EQ(first_cow_item(), nullptr);
    EXPECT_EQ(remove_cow_item("abc"), -1);
}

TEST(CowHash, NamesComeInBucketOrderThenInsertionOrder) {
    init_cow_hash();
    // Two names sharing a bucket, found by search.
    std::string first = "n0", second;
    for (int i = 1; second.empty(); ++i) {
        std::string s = "n" + std::to_string(i);
        if (bucket(s) == bucket(first))
            second = s;
    }
    std::string low;
    for (int i = 0; low.empty(); ++i) {
        std::string s = "low" + std::to_string(i);
        if (bucket(s) < bucket(first))
            low = s;
    }
    ASSERT_EQ(bucket("abc"), 0xE52Eu);
    add_cow_item(second.c_str());
    add_cow_item(first.c_str());
    add_cow_item(low.c_str());
    EXPECT_EQ(drain(), (std::vector<std::string>{low, second, first}));
}

TEST(CowHash, DuplicatesAreRemovedOneAtATime) {
    init_cow_hash();
    add_cow_item("dup");
    add_cow_item("dup");
    add_cow_item("other");
    EXPECT_EQ(remove_cow_item("dup"), 0);
    EXPECT_EQ(remove_cow_item("dup"), 0);
    EXPECT_EQ(remove_cow_item("dup"), -1);
    EXPECT_EQ(drain(), std::vector<std::string>{"other"});
}

// Remove from the middle, the head and the tail of one bucket's list.
TEST(CowHash, UnlinkingKeepsTheBucketWhole) {
    init_cow_hash();
    std::vector<std::string> same{"m0"};
    for (int i = 1; same.size() < 4; ++i) {
        std::string s = "m" + std::to_string(i);
        if (bucket(s) == bucket(same[0]))
            same.push_back(s);
    }
    for (const auto &s : same)
        add_cow_item(s.c_str());
    EXPECT_EQ(remove_cow_item(same[1].c_str()), 0);
    EXPECT_EQ(remove_cow_item(same[0].c_str()), 0);
    EXPECT_EQ(remove_cow_item(same[3].c_str()), 0);
    add_cow_item(same[0].c_str());
    EXPECT_EQ(drain(), (std::vector<std::string>{same[2], same[0]}));
}

// An area's worth of cow files: the claimed ones are ticked off by name,
// the rest come out once each.
TEST(CowHash, HundredsOfThousandsOfNames) {
    init_cow_hash();
    const int n = 200000;
    char name[40];
    for (int i = 0; i < n; ++i) {
        std::snprintf(name, sizeof name, "%032x", i * 2654435761u);
        add_cow_item(name);
    }
    std::set<std::string> left;
    for (int i = 0; i < n; ++i) {
        std::snprintf(name, sizeof name, "%032x", i * 2654435761u);
        if (i % 3 == 0)
            ASSERT_EQ(remove_cow_item(name), 0);
        else
            left.insert(name);
    }
    std::vector<std::string> lost = drain();
    EXPECT_EQ(lost.size(), left.size());
    EXPECT_EQ(std::set<std::string>(lost.begin(), lost.end()), left);
    EXPECT_EQ(first_cow_item(), nullptr);
}

TEST(CowHashDeathTest, MissingNameIsAnAssertion) {
    EXPECT_EXIT(add_cow_item(nullptr), testing::ExitedWithCode(255),
                "ASSERTION FAILED: src/check/cowhash.cpp\\([0-9]+\\), function 'add_cow_item\\(\\)', "
                "condition: filename");
    EXPECT_EXIT(remove_cow_item(nullptr), testing::ExitedWithCode(255),
                "function 'remove_cow_item\\(\\)', condition: filename");
}

}  // namespace
