/* kxversion LOGFILE AREA...: prints the format of each private area; the
 * library's messages are also appended to LOGFILE. A host program built
 * against the installed library, through pkg-config and through CMake. */
#include <stdio.h>
#include <libkxfsutil.h>

int main(int argc, char **argv)
{
    if (argc < 2)
        return 2;
    set_log(2, argv[1], "kxversion");
    for (int i = 2; i < argc; i++)
        printf("%s: format %d\n", argv[i], kxfs_version(argv[i]));
    return 0;
}
