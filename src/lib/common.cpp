// Messages, the log file and fatal errors; allocation, path joining and the
// process-wide option word. Everything else in the library reports through
// these functions, so they rely on nothing but the C library.
#include "libkxfsutil.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

int kxfsutil_debug_level = 0;
char *kxfsutil_debug_logfile = nullptr;
char *kxfsutil_debug_progname = nullptr;

namespace {

unsigned int option_word = 0;

message_hook hook_fn = nullptr;
void *hook_data = nullptr;

// The console half of warning/werror/error: prefix, message, error text.
void print_console(FILE *out, const char *prefix, int err, const char *fmt, va_list ap) {
    std::fputs(prefix, out);
    std::vfprintf(out, fmt, ap);
    if (err != 0)
        std::fprintf(out, ": %s\n", std::strerror(err));
    else
        std::fputc('\n', out);
}

// Console text, then the log record, each from its own copy of the list.
void report(FILE *out, const char *prefix, int err, const char *fmt, va_list ap) {
    va_list console;
    va_copy(console, ap);
    print_console(out, prefix, err, fmt, console);
    va_end(console);
    va_list log;
    va_copy(log, ap);
    write_log(fmt, log, 1);
    va_end(log);
}

}  // namespace

int write_log(const char *fmt, va_list ap, int newline) {
    if (kxfsutil_debug_logfile == nullptr)
        return 0;
    FILE *f = std::fopen(kxfsutil_debug_logfile, "a+");
    if (f == nullptr)
        return -1;
    char stamp[64];
    time_t now = std::time(nullptr);
    struct tm local;
    localtime_r(&now, &local);
    if (std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%T%z", &local) == 0)
        stamp[0] = '\0';
    bool failed = std::fprintf(f, "%s ", stamp) < 0;
    if (!failed && kxfsutil_debug_progname != nullptr)
        failed = std::fprintf(f, "%s ", kxfsutil_debug_progname) < 0;
    if (!failed)
        failed = std::fputs(": ", f) < 0;
    if (!failed)
        failed = std::vfprintf(f, fmt, ap) < 0;
    if (!failed && newline)
        failed = std::fputc('\n', f) == EOF;
    if (failed) {
        std::fclose(f);
        return -2;
    }
    return std::fclose(f) == 0 ? 0 : -3;
}

void vdebug_print(int level, const char *fmt, va_list ap) {
    if (fmt == nullptr)
        return;
    va_list console;
    va_copy(console, ap);
    if (hook_fn) {
        char *text = nullptr;
        if (vasprintf(&text, fmt, console) >= 0) {
            hook_fn(hook_data, level, text);
            std::free(text);
        }
    } else {
        std::vfprintf(stderr, fmt, console);
    }
    va_end(console);
    va_list log;
    va_copy(log, ap);
    write_log(fmt, log, 0);
    va_end(log);
}

void debug_print(int level, const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    vdebug_print(level, fmt, ap);
    va_end(ap);
}

void warning(int err, const char *fmt, ...) {
    if (kxfsutil_debug_level <= 1)
        return;
    va_list ap;
    va_start(ap, fmt);
    report(stdout, "Warning: ", err, fmt, ap);
    va_end(ap);
}

void werror(int err, const char *fmt, ...) {
    if (kxfsutil_debug_level <= 1)
        return;
    va_list ap;
    va_start(ap, fmt);
    report(stderr, "Error: ", err, fmt, ap);
    va_end(ap);
}

void error(int status, int err, const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    report(stderr, "Error: ", err, fmt, ap);
    va_end(ap);
    if (status != 0) {
        std::fflush(stdout);
        std::exit(status);
    }
}

void set_log(int level, const char *logfile, const char *progname) {
    kxfsutil_debug_level = level;
    kxfsutil_debug_logfile = logfile ? xstrdup(logfile) : nullptr;
    kxfsutil_debug_progname = progname ? xstrdup(progname) : nullptr;
}

void set_message_hook(message_hook hook, void *data) {
    hook_fn = hook;
    hook_data = hook ? data : nullptr;
}

void *xmalloc(size_t size) {
    // calloc gives the zero fill; a zero size still yields a unique block.
    void *p = std::calloc(1, size ? size : 1);
    if (p == nullptr)
        error(1, errno, "not enough memory for %zu bytes", size);
    return p;
}

char *xstrdup(const char *s) {
    size_t n = std::strlen(s) + 1;
    char *p = static_cast<char *>(std::malloc(n));
    if (p == nullptr)
        error(1, errno, "not enough memory for %zu bytes", n);
    std::memcpy(p, s, n);
    return p;
}

char *xstring2(int sep, const char *a, const char *b) {
    size_t la = std::strlen(a), lb = std::strlen(b);
    char *p = static_cast<char *>(xmalloc(la + lb + 2));
    std::memcpy(p, a, la);
    p[la] = static_cast<char>(sep);
    std::memcpy(p + la + 1, b, lb + 1);
    return p;
}

char *xstring3(int sep, const char *a, const char *b, const char *c) {
    size_t la = std::strlen(a), lb = std::strlen(b), lc = std::strlen(c);
    char *p = static_cast<char *>(xmalloc(la + lb + lc + 3));
    std::memcpy(p, a, la);
    p[la] = static_cast<char>(sep);
    std::memcpy(p + la + 1, b, lb);
    p[la + 1 + lb] = static_cast<char>(sep);
    std::memcpy(p + la + lb + 2, c, lc + 1);
    return p;
}

void set_option(int option) {
    option_word = static_cast<unsigned int>(option);
}

unsigned int get_option(void) {
    return option_word;
}
