// Worker threads that compress image entries while one thread reads the
// tree and writes the archive in order.
#ifndef ZIPWRITE_COMPRESS_POOL_H
#define ZIPWRITE_COMPRESS_POOL_H

#include "byte_buffer.h"

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

namespace mkportable {

// One unit of work: a whole entry, or one piece of a large entry.
struct CompressJob {
    enum class Kind {
        Whole,    // deflate `input`, or store it when that does not shrink it
        Piece,    // deflate the piece after `windowBytes` of window (EntryCompressor)
        Checksum, // stored as it is: only its CRC
    };
    Kind kind = Kind::Whole;
    // For a piece, the window comes first: the piece is input[windowBytes..].
    ByteBuffer input;
    std::size_t windowBytes = 0;
    bool last = false; // the entry's last piece

    // Filled by the worker.
    ByteBuffer output; // the deflated data; empty when stored
    bool deflated = false;
    std::uint32_t crc = 0; // of the data, window excluded
    std::exception_ptr error;
    bool done = false;
};

// Processors this process may run on (at least 1).
unsigned usableProcessors();

// `workers` threads (at least 1) that run jobs at compression level `level`
// in the order they were submitted, each with its own compressors.
class CompressPool {
public:
    CompressPool(int level, unsigned workers);
    CompressPool(const CompressPool &) = delete;
    CompressPool &operator=(const CompressPool &) = delete;
    // Drops the jobs no worker has started, lets the running ones finish
    // and joins the threads.
    ~CompressPool();

    // Queues `job`, which must stay alive until wait() returns for it or
    // the pool is destroyed.
    void submit(CompressJob &job);
    // Blocks until `job` is done; rethrows the error it ended with.
    void wait(CompressJob &job);

private:
    void work(int level);
    void stop();

    std::mutex mutex_;
    std::condition_variable queued_;
    std::condition_variable finished_;
    std::deque<CompressJob *> queue_;
    bool stopping_ = false;
    std::vector<std::thread> threads_;
};

} // namespace mkportable

#endif
