// ThreadSanitizer cannot see how OpenCV's worker pool (TBB, not instrumented) hands work between threads, and
// reports every parallel loop as a race. Under it these tests run OpenCV's loops on the calling thread, so that
// what it reports is the kit's own; the tests' own threads still run at the same time.
#pragma once

#if defined(__SANITIZE_THREAD__)
#include <opencv2/core/utility.hpp>

namespace oltest {
inline const bool kSerialOpenCV = (cv::setNumThreads(0), true);
}
#endif
