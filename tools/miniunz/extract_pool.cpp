#include "extract_pool.h"

#include <algorithm>
#include <sched.h>
#include <system_error>

namespace {

// All workers' buffers together stay within this, whatever the machine.
constexpr size_t kBufferBudget = 32u << 20;
// Entries up to this size are inflated whole, in one call.
constexpr size_t kMaxBuffer = 8u << 20;
constexpr size_t kMinBuffer = 1u << 20;
constexpr unsigned kMaxWorkers = kBufferBudget / (2 * kMinBuffer);
// Queued jobs per worker: enough to span many directories (see takeJob) and
// to find the large entries early, few enough that the queue stays small
// (a job is a few hundred bytes).
constexpr size_t kQueuePerWorker = 256;

// The directory that an entry's file is created in, as a NameGuard key.
const std::string &parentOf(const EntryNames &names)
{
    static const std::string target;
    return names.dirs.empty() ? target : names.dirs.back();
}

} // namespace

PoolShape poolShape(unsigned cpus)
{
    unsigned workers = std::clamp(cpus, 1u, kMaxWorkers);
    size_t buffer = std::clamp(kBufferBudget / (2 * workers), kMinBuffer, kMaxBuffer);
    return {workers, buffer};
}

unsigned usableCpus()
{
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof set, &set) != 0)
        return 1;
    return std::max(1, CPU_COUNT(&set));
}

ExtractPool::ExtractPool(TargetTree &tree, int archiveFd, PoolShape shape)
    : tree_(tree), archiveFd_(archiveFd), shape_(shape), queueLimit_(kQueuePerWorker * shape.workers)
{
    try {
        for (unsigned i = 0; i < shape.workers; i++)
            threads_.emplace_back(&ExtractPool::work, this);
    } catch (const std::system_error &) {
        // Fewer workers, or none: submit() then writes the files itself.
    }
    if (threads_.empty())
        inlineReader_ = std::make_unique<EntryReader>(archiveFd_, shape_.bufferSize);
}

ExtractPool::~ExtractPool()
{
    finish();
}

void ExtractPool::waitFor(const EntryNames &names)
{
    std::unique_lock<std::mutex> lock(mutex_);
    jobDone_.wait(lock, [&] { return !pending_.conflicts(names); });
}

void ExtractPool::submit(FileEntry entry)
{
    EntryNames names = namesOf(entry.parts);
    if (inlineReader_) {
        if (!writeFileEntry(tree_, *inlineReader_, entry))
            failed_ = true;
        return;
    }
    std::unique_lock<std::mutex> lock(mutex_);
    jobDone_.wait(lock, [&] { return !pending_.conflicts(names) && queue_.size() < queueLimit_; });
    pending_.add(names);
    // An entry too large to inflate whole is streamed, the slowest kind of job:
    // started first, it ends while the small ones still keep the others busy.
    if (entry.data.size > shape_.bufferSize)
        queue_.push_front({std::move(entry), std::move(names)});
    else
        queue_.push_back({std::move(entry), std::move(names)});
    jobReady_.notify_one();
}

bool ExtractPool::finish()
{
    std::unique_lock<std::mutex> lock(mutex_);
    jobDone_.wait(lock, [&] { return queue_.empty() && busyDirs_.empty(); });
    stopping_ = true;
    jobReady_.notify_all();
    lock.unlock();
    for (std::thread &t : threads_)
        t.join();
    threads_.clear();
    return !failed_;
}

ExtractPool::Job ExtractPool::takeJob()
{
    // Creating a file holds its directory locked in the kernel, and on some
    // file systems creating takes longer than writing a small file: workers
    // that create in the same directory mostly wait for each other. The first
    // job whose directory no worker is busy in goes first; the queue holds no
    // two jobs that touch the same names, so any order is the archive's.
    auto pick = std::find_if(queue_.begin(), queue_.end(), [&](const Job &job) {
        return std::find(busyDirs_.begin(), busyDirs_.end(), parentOf(job.names)) == busyDirs_.end();
    });
    if (pick == queue_.end())
        pick = queue_.begin();
    Job job = std::move(*pick);
    queue_.erase(pick);
    return job;
}

void ExtractPool::work()
{
    EntryReader reader(archiveFd_, shape_.bufferSize);
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        jobReady_.wait(lock, [&] { return stopping_ || !queue_.empty(); });
        if (queue_.empty())
            return;
        Job job = takeJob();
        const std::string parent = parentOf(job.names);
        busyDirs_.push_back(parent);
        lock.unlock();
        bool ok = writeFileEntry(tree_, reader, job.entry);
        lock.lock();
        busyDirs_.erase(std::find(busyDirs_.begin(), busyDirs_.end(), parent));
        if (!ok)
            failed_ = true;
        pending_.remove(job.names);
        jobDone_.notify_all();
    }
}
