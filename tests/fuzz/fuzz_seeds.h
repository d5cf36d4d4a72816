// What the fuzzer and its seed generator agree on: the identifiers of the
// rewrite and the template objects the fuzzer's template root holds.
#ifndef KXFS_FUZZ_SEEDS_H
#define KXFS_FUZZ_SEEDS_H

namespace fuzzseed {

inline constexpr const char *kOldUuid = "11111111-2222-3333-4444-555555555555";
inline constexpr const char *kNewUuid = "aaaaaaaa-bbbb-cccc-dddd-eeeeeeeeeeee";
// Files below the fuzzer's template root; other names the seeds use are
// missing there, so that the check finds lost links.
inline constexpr const char *kTemplateFiles[] = {
    "pkg/d/a",
    "pkg/d/c",
    "vc/11111111-2222-3333-4444-555555555555/x/a",
};

}  // namespace fuzzseed

#endif
