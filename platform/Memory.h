// Hints to the kernel about memory the program is about to fill.
#pragma once

#include <cstddef>

namespace platform {

// Makes the whole pages within [block, block + bytes) present and writable in one call, before
// they are written: a page fault every 4 KB cost more than the writing itself when a large
// file was read into fresh memory, or a picture drawn into a fresh canvas. False where the
// kernel cannot (before Linux 5.14): the pages then fault in as they are written, as before.
bool PrepareForWriting(void* block, std::size_t bytes);

} // namespace platform
