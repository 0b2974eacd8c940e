// fixedcheck: sheetwise's number formatter against the C library's own
// swprintf "%8.3f", on the values where a formatter goes wrong (ties at the
// third decimal and the values beside them, negative values that round to
// zero, carries into another digit, the ends of its exact range) and on a
// fixed pseudo-random sweep. It prints each value written otherwise, then
// the count. Built for each platform, it holds the formatter to that
// platform's C library.

#include "fixed3.h"

#include <float.h>
#include <math.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include <vector>

static uint64_t Bits(double value) {
    uint64_t bits;
    memcpy(&bits, &value, sizeof bits);
    return bits;
}

static double FromBits(uint64_t bits) {
    double value;
    memcpy(&value, &bits, sizeof value);
    return value;
}

static void Narrow(const wchar_t *text, char *out, size_t size) {
    size_t i = 0;
    for (; text[i] && i + 1 < size; i++)
        out[i] = text[i] < 0x80 ? (char)text[i] : '?';
    out[i] = '\0';
}

// The value and both of its neighbours.
static void WithNeighbours(std::vector<double> &values, double value) {
    values.push_back(value);
    values.push_back(nextafter(value, HUGE_VAL));
    values.push_back(nextafter(value, -HUGE_VAL));
}

static std::vector<double> ChosenValues() {
    std::vector<double> values;
    // Exact ties are odd sixteenths, which doubles hold up to 2^49; and the
    // doubles nearest to the decimal ties.
    for (int64_t j = -4001; j <= 4001; j += 2)
        WithNeighbours(values, (double)j / 16);
    for (int64_t j = ((int64_t)1 << 53) - 1; j > 1000; j = j / 3 | 1)
        WithNeighbours(values, (double)j / 16);
    for (int k = -3000; k < 3000; k++)
        WithNeighbours(values, (2.0 * k + 1) / 2000);
    // Zeros, and the smallest values on both sides of half a thousandth.
    const double small[] = {0.0, DBL_MIN, DBL_TRUE_MIN, 1e-300, 0.0004999, 0.0005, 0.0015, 0.0025, 0.001};
    for (double value : small) {
        WithNeighbours(values, value);
        WithNeighbours(values, -value);
    }
    // Carries into another digit, and the formatter's range and beyond.
    double power = 1;
    for (int digits = 1; digits <= 17; digits++, power *= 10) {
        WithNeighbours(values, power - 0.0005);
        WithNeighbours(values, -(power - 0.0005));
    }
    const double large[] = {4503599627370495.5, 4503599627370496.0, 9007199254740993.0, 1e22, 1e300, DBL_MAX,
                            HUGE_VAL};
    for (double value : large) {
        WithNeighbours(values, value);
        WithNeighbours(values, -value);
    }
    values.push_back(NAN);
    return values;
}

// The listing's own values from sizes in thousandths of a millimetre, and
// doubles of any bits with a magnitude from 2^-40 to 2^60.
static std::vector<double> SweptValues(int count) {
    std::vector<double> values;
    uint64_t state = 0x9E3779B97F4A7C15u;
    for (int i = 0; i < count; i++) {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        double millimetres = (int32_t)(uint32_t)(state >> 32) / 1000.0;
        switch (i % 4) {
        case 0: values.push_back(millimetres); break;
        case 1: values.push_back(millimetres * 72.0 / 25.4); break;
        case 2: values.push_back(millimetres / 25.4); break;
        default: {
            uint64_t exponent = 1023 - 40 + (state >> 20) % 100;
            values.push_back(FromBits((state & 0x800FFFFFFFFFFFFFu) | exponent << 52));
        }
        }
    }
    return values;
}

int main() {
    std::vector<double> values = ChosenValues();
    std::vector<double> swept = SweptValues(400000);
    values.insert(values.end(), swept.begin(), swept.end());
    size_t differ = 0;
    for (double value : values) {
        wchar_t ours[400], theirs[400], scratch[400];
        int length = FormatFixed3(ours, sizeof ours / sizeof ours[0], value);
        int expected = swprintf(theirs, sizeof theirs / sizeof theirs[0], L"%8.3f", value);
        // The text fits a buffer of its length and null, and not one less.
        bool fits = length > 0 && FormatFixed3(scratch, (size_t)length + 1, value) == length &&
                    FormatFixed3(scratch, (size_t)length, value) == -1;
        if (length == expected && fits && !wcscmp(ours, theirs))
            continue;
        char a[400], b[400];
        Narrow(ours, a, sizeof a);
        Narrow(theirs, b, sizeof b);
        printf("%016llx: \"%s\" (%d), swprintf \"%s\" (%d)%s\n", (unsigned long long)Bits(value), a, length, b,
               expected, fits ? "" : ", does not fit its size exactly");
        differ++;
    }
    printf("fixedcheck: %u values, %u differ\n", (unsigned)values.size(), (unsigned)differ);
    return differ != 0;
}
