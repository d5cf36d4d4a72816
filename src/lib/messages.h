// How the library writes a message: names and texts read from an area are
// escaped, so that they cannot forge a line or drive a terminal, and each
// message reaches its stream whole and in the order it was made. Owned by
// common.cpp; used by the library's few messages outside the levelled set.
#ifndef KXFS_MESSAGES_H
#define KXFS_MESSAGES_H

#include <cstdarg>
#include <cstdio>
#include <string>
#include <string_view>

#include "libkxfsutil.h"

namespace kx {

// s as the tools print a name or text: each byte below 0x20 and 0x7f as
// \xNN (two lowercase hex digits), a backslash as two backslashes, every
// other byte as it is. A text without such bytes comes out unchanged.
std::string escaped(std::string_view s);

// The message of a printf format with every string argument (%s) escaped;
// the format's own text is taken as it is.
std::string format_escaped(const char *fmt, va_list ap);

// Writes text to out (stdout or stderr) as one piece. Before anything goes
// to standard error, what standard output holds is written out, so that
// with both streams on one pipe no line is cut and the order is kept.
void put_message(FILE *out, std::string_view text);

// A message of the library's own on standard error, outside the levels,
// with its string arguments escaped.
void print_stderr(const char *fmt, ...) KXFS_PRINTF(1, 2);

}  // namespace kx

#endif
