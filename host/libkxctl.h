/* The one function of the host's container-control library that the KXFS
 * tools call. */
#ifndef LIBKXCTL_H
#define LIBKXCTL_H

#ifdef __cplusplus
extern "C" {
#endif

/* Layout version of the private area at or above path (an absolute path):
 * 4 the KXFS tree is in path/fs, 5 or more an hdimage-based area, anything
 * else the tree is in path itself. */
int kxctl_env_layout_version(const char *path);

#ifdef __cplusplus
}
#endif

#endif
