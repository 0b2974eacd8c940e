// What the unit tests and the fuzz targets may take of winshim's inside: the
// index's own checks, so that an index forged to pass them is forged with
// the very functions that read it, and the two never drift apart.
#pragma once

#include <string>

namespace winshim {
namespace testing {

// Gives every check of the index file `bytes` (each block's, the directory's
// and the header's) the value its bytes call for, as a writer of the index
// would; blocks that the directory names outside the file are left as they
// are. False when the bytes are shorter than a header.
bool SealIndex(std::string &bytes);

}  // namespace testing
}  // namespace winshim
