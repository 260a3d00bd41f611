// How many threads the library's operations use.
//
// Filters, sampling, histograms and gray maps split an image's rows into
// strips and work on several strips at once. Every such operation gives the
// same result, bit for bit, whatever the number of threads: the strips are
// cut the same way for every count. All calls in the process share one pool
// of threads, so calls from several threads of the caller (a thread pool,
// the command-line tool's -j, Python threads) share the count set here
// instead of each taking that many.
#pragma once

#include <cstdint>

#include "imgnorm/export.h"

// Sets the number of threads for every later operation in the process.
// count >= 1: at most that many threads work on one call's strips at once,
// and at most that many in all for the calls running at the same time
// (a count above the number of cores gives no more than the cores); 1 runs
// every operation on its calling thread alone, without any worker thread.
// count == 0: back to the default, the environment variable
// IMGNORM_NUM_THREADS when it holds an integer 1..1024, else all the cores
// the process may use. A count below 0 or above 1024: vkPelFunc::BadParams.
// Operations that have already started keep the count they started with.
IMGNORM_API void vfSetNumThreads(std::int32_t count);

// The number of threads operations use now (at least 1).
IMGNORM_API std::int32_t vfNumThreads();
