// Scratch upgrade files for the container benchmarks, in a private temp directory that is
// removed at exit.
#ifndef QX_BENCH_CONTAINER_BENCH_FILES_H_
#define QX_BENCH_CONTAINER_BENCH_FILES_H_

#include <cstddef>
#include <string>

namespace qx::bench {

// A valid upgrade file of five inner files holding total_bytes of data between them, written
// once per size and read once so it sits in the page cache. Returns its path.
const std::string& UpgradeFileOfSize(std::size_t total_bytes);

// The scratch directory (created on first use).
const std::string& ScratchDirectory();

}  // namespace qx::bench

#endif  // QX_BENCH_CONTAINER_BENCH_FILES_H_
