// Writes regular file entries on several threads while the thread that reads
// the entry list goes on. A bounded queue keeps memory capped: the reading
// thread waits when it is full, and each worker owns one EntryReader.
#pragma once

#include "file_entry.h"
#include "name_guard.h"
#include "target_tree.h"

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct PoolShape {
    unsigned workers;  // threads that write files
    size_t bufferSize; // each worker's EntryReader buffer size (two buffers each)
};

// The pool for a machine with `cpus` processors: one worker per processor,
// within a fixed memory budget for all their buffers together.
PoolShape poolShape(unsigned cpus);

// Processors this process may run on (at least 1).
unsigned usableCpus();

class ExtractPool {
public:
    // Starts the workers. When no thread can be started, submit() writes each
    // file itself.
    ExtractPool(TargetTree &tree, int archiveFd, PoolShape shape);
    // Waits for the queued files, like finish().
    ~ExtractPool();
    ExtractPool(const ExtractPool &) = delete;
    ExtractPool &operator=(const ExtractPool &) = delete;

    // Blocks until no queued or running file touches a name of `names` (see
    // NameGuard). The caller calls this before it acts on any entry itself.
    void waitFor(const EntryNames &names);
    // Queues `entry` after waiting for its names and for room in the queue.
    void submit(FileEntry entry);
    // Waits until every queued file is written and stops the workers. Returns
    // true when every file was written completely and correctly.
    bool finish();

private:
    struct Job {
        FileEntry entry;
        EntryNames names;
    };
    void work();
    // Takes the next job off the queue (not empty), with mutex_ held.
    Job takeJob();

    TargetTree &tree_;
    int archiveFd_;
    PoolShape shape_;
    size_t queueLimit_;
    std::mutex mutex_;
    std::condition_variable jobReady_; // a job was queued, or the pool stops
    std::condition_variable jobDone_;  // a job ended: room, fewer conflicts
    std::deque<Job> queue_;
    NameGuard pending_; // names of queued and running jobs
    // Directory (NameGuard key) of each running job's file.
    std::vector<std::string> busyDirs_;
    bool stopping_ = false;
    bool failed_ = false;
    std::vector<std::thread> threads_;
    // Used by submit() when no worker thread could be started.
    std::unique_ptr<EntryReader> inlineReader_;
};
