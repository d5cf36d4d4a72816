// Line by line through a text file that an area or the host holds, within
// a fixed bound: a line longer than kLineMax bytes is never held whole,
// however long it is; the reader passes over it and says so.
#ifndef KXFS_LINES_H
#define KXFS_LINES_H

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace kx {

// Longer than any line the system writes or reads with meaning (a
// parameter holds a path of at most 4095 bytes; a package line three
// short fields).
inline constexpr size_t kLineMax = 64 * 1024;

class LineReader {
public:
    enum Result { line, too_long, end };

    explicit LineReader(FILE *in) : in_(in), buf_(kBlock) {}

    // The next line, without its newline, in text: line; or too_long for a
    // line of more than kLineMax bytes, of which text holds nothing; or end
    // at the end of the file or when it cannot be read (ferror then).
    Result next(std::string &text) {
        text.clear();
        bool any = false, over = false;
        ended_ = false;
        for (;;) {
            if (at_ == got_) {
                if (over)
                    skip_hole();
                at_ = 0;
                got_ = std::fread(buf_.data(), 1, buf_.size(), in_);
                if (got_ == 0)
                    break;
            }
            const char *from = buf_.data() + at_;
            size_t left = got_ - at_;
            const void *nl = std::memchr(from, '\n', left);
            size_t piece = nl ? static_cast<size_t>(static_cast<const char *>(nl) - from) : left;
            any = true;
            if (!over && text.size() + piece > kLineMax) {
                over = true;
                text.clear();
            }
            if (!over)
                text.append(from, piece);
            at_ += nl ? piece + 1 : piece;
            if (nl) {
                ended_ = true;
                break;
            }
        }
        if (!any)
            return end;
        ++number_;
        return over ? too_long : line;
    }

    // The number of the line next gave last, from 1.
    size_t number() const { return number_; }
    // Whether that line ended with a newline (the last line of a file may
    // not).
    bool ended() const { return ended_; }

private:
    static constexpr size_t kBlock = 64 * 1024;

    // Moves past a hole of the file at the reading position: a hole holds
    // no newline, so a line already too long goes on over all of it, and
    // a file's apparent size costs no reading.
    void skip_hole() {
        off_t pos = ::ftello(in_);
        if (pos < 0)
            return;
        off_t data = ::lseek(::fileno(in_), pos, SEEK_DATA);
        if (data > pos)
            ::fseeko(in_, data, SEEK_SET);
        else if (data < 0 && errno == ENXIO)
            ::fseeko(in_, 0, SEEK_END);
    }

    FILE *in_;
    std::vector<char> buf_;
    size_t at_ = 0, got_ = 0, number_ = 0;
    bool ended_ = false;
};

}  // namespace kx

#endif
