#include "compress_pool.h"

#include "entry_compressor.h"
#include "temp_file.h"

#include <csignal>
#include <pthread.h>
#include <sched.h>
#include <span>

namespace mkportable {

namespace {

void runJob(CompressJob &job, EntryCompressor &compressor)
{
    const std::span<const unsigned char> all(job.input);
    const std::span<const unsigned char> data = all.subspan(job.windowBytes);
    job.crc = crc32Of(0, data);
    switch (job.kind) {
    case CompressJob::Kind::Whole: job.deflated = compressor.compressWhole(data, job.output); break;
    case CompressJob::Kind::Piece:
        compressor.compressPiece(all.first(job.windowBytes), data, job.last, job.output);
        job.deflated = true;
        break;
    case CompressJob::Kind::Checksum: break;
    }
}

} // namespace

unsigned usableProcessors()
{
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof set, &set) == 0 && CPU_COUNT(&set) > 0)
        return unsigned(CPU_COUNT(&set));
    const unsigned n = std::thread::hardware_concurrency();
    return n > 0 ? n : 1;
}

CompressPool::CompressPool(int level, unsigned workers)
{
    // Workers block the signals that remove the temporary package, so that
    // the handler runs on the thread that writes it.
    const sigset_t blocked = tempFileSignals();
    sigset_t old;
    pthread_sigmask(SIG_BLOCK, &blocked, &old);
    try {
        for (unsigned i = 0; i < (workers > 0 ? workers : 1); ++i)
            threads_.emplace_back([this, level] { work(level); });
    } catch (...) {
        pthread_sigmask(SIG_SETMASK, &old, nullptr);
        stop();
        throw;
    }
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
}

CompressPool::~CompressPool()
{
    stop();
}

void CompressPool::stop()
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
        queue_.clear();
    }
    queued_.notify_all();
    for (std::thread &t : threads_)
        if (t.joinable())
            t.join();
    threads_.clear();
}

void CompressPool::submit(CompressJob &job)
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        queue_.push_back(&job);
    }
    queued_.notify_one();
}

void CompressPool::wait(CompressJob &job)
{
    std::unique_lock<std::mutex> lock(mutex_);
    finished_.wait(lock, [&job] { return job.done; });
    if (job.error)
        std::rethrow_exception(job.error);
}

void CompressPool::work(int level)
{
    EntryCompressor compressor(level);
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        queued_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
        if (stopping_)
            return;
        CompressJob *job = queue_.front();
        queue_.pop_front();
        lock.unlock();
        try {
            runJob(*job, compressor);
        } catch (...) {
            job->error = std::current_exception();
        }
        lock.lock();
        job->done = true;
        finished_.notify_all();
    }
}

} // namespace mkportable
