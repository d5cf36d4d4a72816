// Messages, the log file and fatal errors; allocation, path joining and the
// process-wide option word. Everything else in the library reports through
// these functions, so they rely on nothing but the C library.
#include "libkxfsutil.h"
#include "messages.h"

#include <sys/types.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <string_view>

int kxfsutil_debug_level = 0;
char *kxfsutil_debug_logfile = nullptr;
char *kxfsutil_debug_progname = nullptr;

namespace {

unsigned int option_word = 0;

message_hook hook_fn = nullptr;
void *hook_data = nullptr;

void append_escaped(std::string &out, std::string_view s) {
    static const char digits[] = "0123456789abcdef";
    for (char ch : s) {
        auto c = static_cast<unsigned char>(ch);
        if (c == '\\') {
            out += "\\\\";
        } else if (c < 0x20 || c == 0x7F) {
            out += "\\x";
            out += digits[c >> 4];
            out += digits[c & 0xF];
        } else {
            out += ch;
        }
    }
}

// The message of fmt as printf makes it, nothing escaped.
std::string format_plain(const char *fmt, va_list ap) {
    va_list copy;
    va_copy(copy, ap);
    char *text = nullptr;
    int n = vasprintf(&text, fmt, copy);
    va_end(copy);
    if (n < 0)
        return {};
    std::string s(text, static_cast<size_t>(n));
    std::free(text);
    return s;
}

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
// Appends one conversion directive (with the values of its '*' fields) filled
// in with value.
template <typename T>
void append_one(std::string &out, const std::string &directive, const int *stars, int nstars,
                T value) {
    auto print = [&](char *to, size_t size) {
        switch (nstars) {
        case 0:
            return std::snprintf(to, size, directive.c_str(), value);
        case 1:
            return std::snprintf(to, size, directive.c_str(), stars[0], value);
        default:
            return std::snprintf(to, size, directive.c_str(), stars[0], stars[1], value);
        }
    };
    char small[128];
    int n = print(small, sizeof small);
    if (n < 0)
        return;
    if (static_cast<size_t>(n) < sizeof small) {
        out.append(small, static_cast<size_t>(n));
        return;
    }
    size_t at = out.size();
    out.resize(at + static_cast<size_t>(n) + 1);
    print(out.data() + at, static_cast<size_t>(n) + 1);
    out.resize(at + static_cast<size_t>(n));
}
#pragma GCC diagnostic pop

enum class Length { none, hh, h, l, ll, j, z, t, L };

// The record of the log file: timestamp, program name, ": ", the message.
int write_record(std::string_view message, bool newline) {
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
    std::string record = std::string(stamp) + " ";
    if (kxfsutil_debug_progname != nullptr)
        record.append(kxfsutil_debug_progname).append(" ");
    record.append(": ").append(message);
    if (newline)
        record += '\n';
    if (std::fwrite(record.data(), 1, record.size(), f) != record.size()) {
        std::fclose(f);
        return -2;
    }
    return std::fclose(f) == 0 ? 0 : -3;
}

// warning/werror/error: prefix, message and error text on the console as
// one piece, then the message as a log record.
void report(FILE *out, const char *prefix, int err, const char *fmt, va_list ap) {
    std::string message = kx::format_escaped(fmt, ap);
    std::string line = prefix + message;
    if (err != 0)
        line.append(": ").append(std::strerror(err));
    line += '\n';
    kx::put_message(out, line);
    write_record(message, true);
}

}  // namespace

std::string kx::escaped(std::string_view s) {
    std::string out;
    out.reserve(s.size());
    append_escaped(out, s);
    return out;
}

std::string kx::format_escaped(const char *fmt, va_list ap) {
    const int saved_errno = errno;
    std::string out;
    va_list args;
    va_copy(args, ap);
    bool plain_only = false;  // a conversion this reader does not know
    const char *p = fmt;
    while (*p != '\0' && !plain_only) {
        const char *pct = std::strchr(p, '%');
        if (pct == nullptr) {
            out.append(p);
            break;
        }
        out.append(p, pct);
        const char *q = pct + 1;
        if (*q == '%') {
            out += '%';
            p = q + 1;
            continue;
        }
        std::string directive = "%";
        while (*q != '\0' && std::strchr("-+ #0'", *q) != nullptr)
            directive += *q++;
        int stars[2];
        int nstars = 0;
        const bool width_star = *q == '*';
        if (width_star) {
            stars[nstars++] = va_arg(args, int);
            directive += *q++;
        } else {
            while (*q >= '0' && *q <= '9')
                directive += *q++;
        }
        std::string width_directive = directive;  // the directive without its precision
        bool precision = false;
        int precision_value = -1;
        if (*q == '.') {
            precision = true;
            directive += *q++;
            if (*q == '*') {
                precision_value = va_arg(args, int);
                stars[nstars++] = precision_value;
                directive += *q++;
            } else {
                precision_value = 0;
                while (*q >= '0' && *q <= '9') {
                    precision_value = precision_value * 10 + (*q - '0');
                    directive += *q++;
                }
            }
        }
        if (*q == '$') {  // positional arguments
            plain_only = true;
            break;
        }
        Length length = Length::none;
        const char *length_start = q;
        if (q[0] == 'h' && q[1] == 'h') {
            length = Length::hh;
            q += 2;
        } else if (q[0] == 'l' && q[1] == 'l') {
            length = Length::ll;
            q += 2;
        } else if (*q == 'h') {
            length = Length::h, ++q;
        } else if (*q == 'l') {
            length = Length::l, ++q;
        } else if (*q == 'q') {
            length = Length::ll, ++q;
        } else if (*q == 'j') {
            length = Length::j, ++q;
        } else if (*q == 'z' || *q == 'Z') {
            length = Length::z, ++q;
        } else if (*q == 't') {
            length = Length::t, ++q;
        } else if (*q == 'L') {
            length = Length::L, ++q;
        }
        directive.append(length_start, q);
        const char conversion = *q;
        directive += conversion;
        switch (conversion) {
        case 'd':
        case 'i':
            if (length == Length::l)
                append_one(out, directive, stars, nstars, va_arg(args, long));
            else if (length == Length::ll)
                append_one(out, directive, stars, nstars, va_arg(args, long long));
            else if (length == Length::j)
                append_one(out, directive, stars, nstars, va_arg(args, intmax_t));
            else if (length == Length::z)
                append_one(out, directive, stars, nstars, va_arg(args, ssize_t));
            else if (length == Length::t)
                append_one(out, directive, stars, nstars, va_arg(args, ptrdiff_t));
            else
                append_one(out, directive, stars, nstars, va_arg(args, int));
            break;
        case 'o':
        case 'u':
        case 'x':
        case 'X':
            if (length == Length::l)
                append_one(out, directive, stars, nstars, va_arg(args, unsigned long));
            else if (length == Length::ll)
                append_one(out, directive, stars, nstars, va_arg(args, unsigned long long));
            else if (length == Length::j)
                append_one(out, directive, stars, nstars, va_arg(args, uintmax_t));
            else if (length == Length::z)
                append_one(out, directive, stars, nstars, va_arg(args, size_t));
            else if (length == Length::t)
                append_one(out, directive, stars, nstars, va_arg(args, ptrdiff_t));
            else
                append_one(out, directive, stars, nstars, va_arg(args, unsigned int));
            break;
        case 'e':
        case 'E':
        case 'f':
        case 'F':
        case 'g':
        case 'G':
        case 'a':
        case 'A':
            if (length == Length::L)
                append_one(out, directive, stars, nstars, va_arg(args, long double));
            else
                append_one(out, directive, stars, nstars, va_arg(args, double));
            break;
        case 'c': {
            if (length != Length::none) {
                plain_only = true;
                break;
            }
            char c = static_cast<char>(va_arg(args, int));
            append_one(out, width_directive + "s", stars, width_star ? 1 : 0,
                       escaped(std::string_view(&c, 1)).c_str());
            break;
        }
        case 'p':
            append_one(out, directive, stars, nstars, va_arg(args, void *));
            break;
        case 'm':
            out.append(std::strerror(saved_errno));
            break;
        case 's': {
            if (length != Length::none) {
                plain_only = true;
                break;
            }
            const char *s = va_arg(args, const char *);
            std::string text;
            if (s == nullptr)
                text = "(null)";
            else if (precision && precision_value >= 0)
                text = escaped(std::string_view(s, strnlen(s, static_cast<size_t>(precision_value))));
            else
                text = escaped(s);
            // The precision has done its work on the raw text: only the
            // width is left to apply.
            append_one(out, width_directive + "s", stars, width_star ? 1 : 0, text.c_str());
            break;
        }
        default:
            plain_only = true;
            break;
        }
        p = q + (conversion != '\0' ? 1 : 0);
    }
    va_end(args);
    if (!plain_only) {
        errno = saved_errno;
        return out;
    }
    // A format this reader does not know: the whole message escaped, but
    // the newline that ends it.
    std::string whole = format_plain(fmt, ap);
    bool ends_line = !whole.empty() && whole.back() == '\n';
    if (ends_line)
        whole.pop_back();
    std::string text = escaped(whole);
    if (ends_line)
        text += '\n';
    errno = saved_errno;
    return text;
}

void kx::put_message(FILE *out, std::string_view text) {
    std::fflush(out == stderr ? stdout : stderr);
    std::fwrite(text.data(), 1, text.size(), out);
}

void kx::print_stderr(const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    put_message(stderr, format_escaped(fmt, ap));
    va_end(ap);
}

int write_log(const char *fmt, va_list ap, int newline) {
    if (kxfsutil_debug_logfile == nullptr)
        return 0;
    return write_record(kx::format_escaped(fmt, ap), newline != 0);
}

void vdebug_print(int level, const char *fmt, va_list ap) {
    if (fmt == nullptr)
        return;
    std::string message = kx::format_escaped(fmt, ap);
    if (hook_fn) {
        // The hook gets the text as made, for a program to show as it likes.
        std::string text = format_plain(fmt, ap);
        hook_fn(hook_data, level, text.c_str());
    } else {
        kx::put_message(stderr, message);
    }
    write_record(message, false);
}

void debug_print(int level, const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    vdebug_print(level, fmt, ap);
    va_end(ap);
}

void warning(int err, const char *fmt, ...) {
    if (!kx::trace_on(2))
        return;
    va_list ap;
    va_start(ap, fmt);
    report(stdout, "Warning: ", err, fmt, ap);
    va_end(ap);
}

void werror(int err, const char *fmt, ...) {
    if (!kx::trace_on(2))
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
