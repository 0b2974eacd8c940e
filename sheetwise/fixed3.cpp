// "%8.3f" without the C library: swprintf takes each double through
// machinery for every conversion, width and precision, and with tens of
// thousands of them it was the largest cost of a long forms listing.
//
// Both C libraries that the tool is built with, glibc and MinGW-w64's own
// printf family, write the exact binary value rounded to the nearest
// thousandth, a tie to the even neighbour (0.0625 is "0.062"), and a minus
// sign on every negative value, also one that rounds to zero ("-0.000").
// So does this, with integers alone: a finite double below 2^52 is a 53-bit
// integer M times 2^-S, so its thousandths are M * 1000 (below 2^63) shifted
// right by S, the bits shifted out deciding the rounding. Anything else goes
// to swprintf.

#include "fixed3.h"

#include <stdint.h>
#include <stdio.h>
#include <string.h>

int FormatFixed3(wchar_t *out, size_t size, double value) {
    uint64_t bits;
    memcpy(&bits, &value, sizeof bits);
    const bool negative = (bits >> 63) != 0;
    const int exponent = (int)(bits >> 52 & 0x7FF);
    uint64_t mantissa = bits & ((UINT64_C(1) << 52) - 1);
    int shift = 1074;  // zero and the subnormals
    if (exponent != 0) {
        mantissa |= UINT64_C(1) << 52;
        shift = 1075 - exponent;
    }
    if (exponent == 0x7FF || shift <= 0) {
        int length = swprintf(out, size, L"%8.3f", value);
        return length >= 0 && (size_t)length < size ? length : -1;
    }

    const uint64_t scaled = mantissa * 1000;
    uint64_t thousandths = 0;  // from a shift of 64 on, below half of one
    if (shift < 64) {
        thousandths = scaled >> shift;
        const uint64_t rest = scaled & ((UINT64_C(1) << shift) - 1);
        const uint64_t half = UINT64_C(1) << (shift - 1);
        if (rest > half || (rest == half && (thousandths & 1)))
            thousandths++;
    }

    // At most 19 digits, the point and the sign, from the right.
    wchar_t text[24];
    wchar_t *start = text + sizeof text / sizeof text[0];
    for (int i = 0; i < 3; i++) {
        *--start = (wchar_t)(L'0' + thousandths % 10);
        thousandths /= 10;
    }
    *--start = L'.';
    do {
        *--start = (wchar_t)(L'0' + thousandths % 10);
        thousandths /= 10;
    } while (thousandths);
    if (negative)
        *--start = L'-';
    const size_t length = (size_t)(text + sizeof text / sizeof text[0] - start);
    const size_t padding = length < 8 ? 8 - length : 0;
    if (padding + length >= size)
        return -1;
    wmemset(out, L' ', padding);
    wmemcpy(out + padding, start, length);
    out[padding + length] = L'\0';
    return (int)(padding + length);
}
