// The lines of a hive file as UTF-8 text, read in blocks so that a scan of a
// large hive needs little memory, each with its place in the file so that a
// writer can copy every line that it does not change byte for byte.

#include "lines.h"

#include <cerrno>
#include <cstring>

namespace winshim {

namespace {
constexpr size_t kBlock = 1u << 17;  // read at a time: small enough to stay in the cache while it is parsed
}  // namespace

LineReader::LineReader(int fd, uint64_t size) : fd_(fd), buf_(size < kBlock ? size + 2 : kBlock) {}

LineReader::LineReader(int fd, uint64_t begin, uint64_t end, bool utf16)
    : fd_(fd), buf_(end - begin < kBlock ? end - begin + 2 : kBlock), base_(begin), limit_(end), started_(true),
      utf16_(utf16) {}

LineReader::LineReader(std::string_view text)
    : fd_(-1), buf_(text.begin(), text.end()), fill_(text.size()), eof_(true), started_(true) {}

bool LineReader::Fill() {
    if (begin_ > 0) {
        memmove(buf_.data(), buf_.data() + begin_, fill_ - begin_);
        base_ += begin_;
        fill_ -= begin_;
        begin_ = 0;
    }
    if (fill_ == buf_.size())  // one line longer than the block
        buf_.resize(buf_.size() * 2);
    size_t room = buf_.size() - fill_;
    if (limit_ - (base_ + fill_) < room)
        room = static_cast<size_t>(limit_ - (base_ + fill_));
    for (;;) {
        ssize_t n = room ? sys::Read(fd_, buf_.data() + fill_, room, static_cast<off_t>(base_ + fill_)) : 0;
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            error_ = errno;
            return false;
        }
        if (n == 0)
            eof_ = true;
        fill_ += static_cast<size_t>(n);
        break;
    }
    if (!started_ && (fill_ >= 2 || eof_)) {
        started_ = true;
        if (fill_ >= 2 && static_cast<unsigned char>(buf_[0]) == 0xFF && static_cast<unsigned char>(buf_[1]) == 0xFE) {
            utf16_ = true;
            begin_ = 2;  // the byte order mark is no part of the first line
        }
    }
    return true;
}

// The line break at or after `from`: a byte '\n', or in UTF-16 the unit
// 0x000A at an even distance from the line's start.
size_t LineReader::FindNewline(size_t from) const {
    const char *data = buf_.data();
    while (from < fill_) {
        const void *hit = memchr(data + from, '\n', fill_ - from);
        if (!hit)
            return std::string::npos;
        size_t at = static_cast<size_t>(static_cast<const char *>(hit) - data);
        if (!utf16_)
            return at;
        if ((at - begin_) % 2 == 0 && at + 1 < fill_ && data[at + 1] == 0)
            return at;
        from = at + 1;
    }
    return std::string::npos;
}

void LineReader::Produce(size_t begin, size_t length, size_t used, bool newline, std::string_view &line) {
    offset_ = base_ + begin;
    end_offset_ = offset_ + used;
    number_++;
    begin_ = begin + used;
    const char *p = buf_.data() + begin;
    size_t unit = utf16_ ? 2 : 1;
    bool cr = length >= unit && p[length - unit] == '\r' && (!utf16_ || p[length - 1] == 0);
    if (cr)
        length -= unit;
    if (newline && !seen_newline_) {
        seen_newline_ = true;
        crlf_ = cr;
    }
    end_ = newline ? End::Newline : cr ? End::CarriageReturn : End::Text;
    if (!utf16_) {
        line = std::string_view(p, length);
        return;
    }
    wide_line_.clear();
    AppendUtf8FromUtf16(wide_line_, std::string_view(p, length));  // half a unit only at the end of the file
    line = wide_line_;
}

// A line too long to be a line of a hive: passed over up to its end (the
// line break at `nl`, or one yet to be read), without keeping it.
bool LineReader::SkipOverlong(size_t nl, std::string_view &line) {
    size_t unit = utf16_ ? 2 : 1;
    uint64_t start = base_ + begin_;
    for (size_t at = nl;;) {
        if (at == std::string::npos) {
            begin_ += (fill_ - begin_) / unit * unit;
            if (!Fill())
                return false;
            at = FindNewline(begin_);
        }
        if (at != std::string::npos || eof_) {
            size_t stop = at != std::string::npos ? at + unit : fill_;
            begin_ = stop;
            offset_ = start;
            end_offset_ = base_ + stop;
            number_++;
            end_ = at != std::string::npos ? End::Newline : End::Text;
            overlong_ = true;
            line = std::string_view();
            return true;
        }
    }
}

// The usual line of an 8-bit file has its break among the bytes read: the
// breaks are found 64 bytes at a time (Next takes them), where a call of
// memchr for each short line of a hive cost more than the line's own
// reading. A line whose break is not so near (near the end of the bytes
// read, or a long one) is found the general way.
bool LineReader::NextUnmasked(std::string_view &line) {
    overlong_ = false;
#ifdef __SSE2__
    if (!utf16_ && started_ && seen_newline_ && !masked_ && fill_ - begin_ >= 64) {
        mask_at_ = begin_;
        newlines_ = NewlinesAt(buf_.data() + begin_);
        masked_ = true;
        MaskOn();
        if (newlines_)
            return Next(line);
    }
#endif
    masked_ = false;  // begin_ moves on, and the bytes may move in the buffer
    newlines_ = 0;
    // The usual line of an 8-bit file: its break already in the buffer.
    if (!utf16_ && started_ && begin_ < fill_) {
        const char *p = buf_.data() + begin_;
        const void *nl = memchr(p, '\n', fill_ - begin_);
        size_t length = nl ? static_cast<size_t>(static_cast<const char *>(nl) - p) : 0;
        if (nl && length <= kMaxLine && seen_newline_) {
            offset_ = base_ + begin_;
            end_offset_ = offset_ + length + 1;
            number_++;
            begin_ += length + 1;
            end_ = End::Newline;
            line = std::string_view(p, length && p[length - 1] == '\r' ? length - 1 : length);
            return true;
        }
    }
    while (!started_)
        if (!Fill())
            return false;
    size_t unit = utf16_ ? 2 : 1, limit = kMaxLine * unit;
    size_t searched = begin_;
    for (;;) {
        size_t nl = FindNewline(searched);
        if (nl != std::string::npos && nl - begin_ <= limit) {
            Produce(begin_, nl - begin_, nl - begin_ + unit, true, line);
            return true;
        }
        if (fill_ - begin_ > limit)
            return SkipOverlong(nl, line);
        if (eof_) {
            if (begin_ == fill_)
                return false;
            Produce(begin_, fill_ - begin_, fill_ - begin_, false, line);
            return true;
        }
        size_t pending = (fill_ - begin_) / unit * unit;
        if (!Fill())
            return false;
        searched = begin_ + pending;
    }
}

}  // namespace winshim
