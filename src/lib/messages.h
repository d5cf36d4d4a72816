// How the library and the tools write a message: the one test of the
// message level, the trace that makes it; names and texts read from an area
// are escaped, so that they cannot forge a line or drive a terminal, and
// each message reaches its stream whole and in the order it was made.
// Owned by common.cpp.
#ifndef KXFS_MESSAGES_H
#define KXFS_MESSAGES_H

#include <cstdarg>
#include <cstdio>
#include <string>
#include <string_view>

#include "libkxfsutil.h"

namespace kx {

// Whether messages of the level are made: the message level is at least
// level. Every levelled message is tested here.
inline bool trace_on(int level) {
    return kxfsutil_debug_level >= level;
}

// A trace of the level, made through debug_print when the level is on.
inline void trace(int level, const char *fmt, ...) KXFS_PRINTF(2, 3);
inline void trace(int level, const char *fmt, ...) {
    if (!trace_on(level))
        return;
    va_list ap;
    va_start(ap, fmt);
    vdebug_print(level, fmt, ap);
    va_end(ap);
}

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
