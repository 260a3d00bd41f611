// The process-wide cache of released pixel blocks.
//
// Images of 1 MiB and more get their pixels from blocks that, when the last
// image using them goes, are kept in one cache for the whole process and
// handed out again (zeroed) to a later image of the same size or up to a
// quarter smaller. A pipeline that makes and drops images of one size then
// pays a memset instead of a page fault per page, whichever thread makes or
// drops them. The cache holds at most its cap in bytes in all (and at most 16
// blocks); a block that would exceed the cap pushes the oldest ones back to
// the system first. The cap is 256 MiB unless the environment variable
// IMGNORM_PEL_CACHE_MB holds a whole number of MiB (0 turns the cache off)
// when the first large block is released, or unless vfSetPelCacheLimit sets
// it. All of this is safe to call from any thread.
#pragma once

#include <cstddef>

#include "imgnorm/export.h"

// Sets the cap in bytes, at once returning to the system the oldest blocks
// beyond it; 0 turns the cache off and empties it.
IMGNORM_API void vfSetPelCacheLimit(std::size_t bytes);
// The cap in bytes.
IMGNORM_API std::size_t vfPelCacheLimit();
// The bytes the cache holds now.
IMGNORM_API std::size_t vfPelCacheBytes();
