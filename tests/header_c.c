/* Compiled as strict C99: the public header must be usable from C. */
#include "libkxfsutil.h"

#include <stdlib.h>
#include <string.h>

int main(void)
{
    char *joined = xstring2('/', "area", "VERSION");
    int ok = strcmp(joined, "area/VERSION") == 0;
    free(joined);
    set_option(0x20);
    ok = ok && get_option() == 0x20;
    struct dent entry;
    memset(&entry, 0, sizeof entry);
    ok = ok && sizeof entry.type == 1 && sizeof entry.namelen == 2;
    return ok ? 0 : 1;
}
