// What the unit tests and the fuzz targets may take of winshim's inside: the
// index's own checks, so that an index forged to pass them is forged with
// the very functions that read it, and the two never drift apart; and the
// sizes its builder works in.
#pragma once

#include <cstddef>
#include <string>

namespace winshim {
namespace testing {

// Gives every check of the index file `bytes` (each block's, the directory's
// and the header's) the value its bytes call for, as a writer of the index
// would; blocks that the directory names outside the file are left as they
// are. False when the bytes are shorter than a header.
bool SealIndex(std::string &bytes);

// The sizes an index builder works in: the bytes of records of short runs
// it holds before it sorts them, the records in order that make a run of
// their own, the records it sorts at once, and the bytes after which it
// closes a block. Small ones make a hive of a few hundred keys spill, merge
// and copy blocks as one of millions does; zeros restore the builder's own.
void SetIndexBuilderSizes(size_t chunk, size_t long_run, size_t piece, size_t block);

}  // namespace testing
}  // namespace winshim
