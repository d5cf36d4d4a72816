// The upgrade of an area's format from "005.003" to "005.004".
//
// This build does not carry the conversion. The command line, its
// conflicts and the refusals of the driver (mounted area, version that is
// not upgradable) still apply; then the preparation stops the run before
// the version link or any entry of the area is touched.
#include "kxfsutil.h"

void upgrade_prepare(const char * /*area_dir*/, int /*veid*/) {
    error(1, 0, "Kxfsutil: the upgrade is not available in this build; the area is unchanged");
}

void upgrade_magic(int, const char *, const char *, struct stat *, const char *, struct stat *,
                   const char *, struct stat *) {
    error(255, 0, "Bug: %s(%d), function '%s()'", "src/upgrade.cpp", __LINE__, __func__);
}

void upgrade_cleanup(void) {
    error(255, 0, "Bug: %s(%d), function '%s()'", "src/upgrade.cpp", __LINE__, __func__);
}

int check_reserved_name(void *, const char *, const char *, int, const struct stat *) {
    return 0;
}
