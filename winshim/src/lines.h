// The lines of a hive file: read in blocks, in either encoding, with either
// line end, and where each one lies in the file.
#pragma once

#include "store.h"

#ifdef __SSE2__
#include <emmintrin.h>
#endif

namespace winshim {

// The longest line a hive may hold, in the file's bytes (twice as many for
// UTF-16): a longer one is a line that cannot be parsed.
constexpr size_t kMaxLine = 4u << 20;

// The lines of a hive file as UTF-8 text, read in blocks, so that a scan of a
// large hive costs no more memory than one of a hive of a few MiB. A file
// that begins with a UTF-16LE byte order mark is read as UTF-16. Offsets are
// the file's own bytes, so that a writer can copy what it does not change.
class LineReader {
public:
    LineReader(int fd, uint64_t size);
    // The lines of bytes `begin` to `end` of a file whose encoding is known.
    LineReader(int fd, uint64_t begin, uint64_t end, bool utf16);
    // The lines of a text in memory.
    explicit LineReader(std::string_view text);

    // The next line without its "\n" or "\r\n". False at the end of the file
    // or on a read error (then error() is the errno).
    bool Next(std::string_view &line) {
        if (!newlines_ && masked_)
            MaskOn();
        if (!newlines_)
            return NextUnmasked(line);
        // The usual line of an 8-bit file: its break found already, among
        // the 64 bytes looked at with the lines before.
        size_t nl = mask_at_ + static_cast<size_t>(__builtin_ctzll(newlines_));
        newlines_ &= newlines_ - 1;
        const char *p = buf_.data() + begin_;
        size_t length = nl - begin_;
        offset_ = base_ + begin_;
        end_offset_ = offset_ + length + 1;
        number_++;
        begin_ = nl + 1;
        end_ = End::Newline;
        overlong_ = false;
        line = std::string_view(p, length && p[length - 1] == '\r' ? length - 1 : length);
        return true;
    }

    bool utf16() const { return utf16_; }
    uint64_t offset() const { return offset_; }      // where the last line starts
    uint64_t end_offset() const { return end_offset_; }  // just after its line break
    long number() const { return number_; }
    int error() const { return error_; }
    // The last line was longer than kMaxLine: it is given empty.
    bool overlong() const { return overlong_; }
    // How the file ends, once Next has returned false: a line break, a lone
    // CR (which ends the last line too) or neither; and whether its first
    // line break was CRLF (true when there is none).
    enum class End { Newline, CarriageReturn, Text, Empty };
    End end() const { return end_; }
    bool crlf() const { return crlf_; }

private:
    bool NextUnmasked(std::string_view &line);
    bool Fill();
    // The line breaks of the next 64 bytes, and of those after them while
    // none is found, as long as they lie among the bytes read and the line
    // is not a long one (then memchr finds its end).
    void MaskOn() {
#ifdef __SSE2__
        while (!newlines_ && mask_at_ + 128 <= fill_ && mask_at_ <= begin_ + kMaskedLine) {
            mask_at_ += 64;
            newlines_ = NewlinesAt(buf_.data() + mask_at_);
        }
#endif
    }
#ifdef __SSE2__
    // A bit for each '\n' among the 64 bytes at p.
    static uint64_t NewlinesAt(const char *p) {
        const __m128i newline = _mm_set1_epi8('\n');
        uint64_t mask = 0;
        for (size_t i = 0; i < 4; i++) {
            __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p + 16 * i));
            mask |= static_cast<uint64_t>(static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(bytes, newline))))
                    << (16 * i);
        }
        return mask;
    }
#endif
    static constexpr size_t kMaskedLine = 4096;  // lines longer than this are found by memchr
    size_t FindNewline(size_t from) const;
    void Produce(size_t begin, size_t length, size_t used, bool newline, std::string_view &line);
    bool SkipOverlong(size_t nl, std::string_view &line);

    int fd_;
    std::vector<char> buf_;
    size_t begin_ = 0, fill_ = 0;  // unread bytes
    uint64_t base_ = 0;           // the file offset of buf_[0]
    uint64_t limit_ = UINT64_MAX;  // where reading stops
    uint64_t offset_ = 0, end_offset_ = 0;
    long number_ = 0;
    bool eof_ = false, started_ = false, utf16_ = false, overlong_ = false;
    bool crlf_ = true, seen_newline_ = false;
    End end_ = End::Empty;
    int error_ = 0;
    std::string wide_line_;  // a UTF-16 line as UTF-8
    // The line breaks of an 8-bit file among the 64 bytes from mask_at_ on,
    // a bit each, those before begin_ cleared (and none between begin_ and
    // mask_at_), while masked_; none while not.
    uint64_t newlines_ = 0;
    size_t mask_at_ = 0;
    bool masked_ = false;
};

}  // namespace winshim
