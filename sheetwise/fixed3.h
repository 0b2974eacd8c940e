// Numbers of the forms listing as the C library's "%8.3f" writes them.

#pragma once

#include <stddef.h>
#include <wchar.h>

// Writes `value` as swprintf(out, size, L"%8.3f", value) does and returns the
// count of characters written, or -1 when the text and its terminating null
// do not fit in `size` characters.
int FormatFixed3(wchar_t *out, size_t size, double value);
