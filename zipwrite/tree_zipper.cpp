#include "tree_zipper.h"

#include "compress_pool.h"
#include "pack_error.h"
#include "tree_scan.h"
#include "unique_fd.h"
#include "zip_output.h"

#include <algorithm>
#include <cerrno>
#include <deque>
#include <fcntl.h>
#include <memory>
#include <unistd.h>
#include <vector>

namespace mkportable {

namespace {

// Entries waiting to be written, at most; each costs a little besides its
// data, which ZIP_IN_FLIGHT_BYTES bounds.
constexpr std::size_t MAX_WAITING = 4096;
// More threads than this only cost memory: the disk cannot keep them busy.
constexpr unsigned MAX_WORKERS = 32;

// The target text of a symbolic link, however long.
std::string readLinkTarget(const TreeEntry &entry)
{
    std::vector<char> buffer(entry.size + 1);
    for (;;) {
        ssize_t n = readlink(entry.source.c_str(), buffer.data(), buffer.size());
        if (n < 0)
            throwSystemError("readlink(" + entry.source.string() + ")", errno);
        if (std::size_t(n) < buffer.size())
            return std::string(buffer.data(), std::size_t(n));
        buffer.resize(buffer.size() * 2); // the link changed since it was listed
    }
}

UniqueFd openEntry(const TreeEntry &entry)
{
    // O_NOFOLLOW: an entry that became a link since it was listed is refused
    // rather than followed out of the tree.
    UniqueFd in(::open(entry.source.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    if (!in.valid())
        throwSystemError("open(" + entry.source.string() + ")", errno);
    return in;
}

// An entry, or one piece of a large one, from reading to writing.
struct Waiting {
    const TreeEntry *entry = nullptr;
    std::unique_ptr<CompressJob> job; // none for a directory or a link
    std::string linkTarget;
    std::uint64_t bytes = 0; // of the entry's data that this holds
    bool firstPiece = false;
};

// Reads the tree on the calling thread, in order, while the pool compresses
// what was read; writes the results in the same order.
class Zipper {
public:
    Zipper(const std::vector<TreeEntry> &entries, ZipOutput &zip, const ZipSettings &settings, unsigned workers)
        : entries_(entries), zip_(zip), level_(settings.level), progress_(settings.progress),
          pool_(settings.level, workers)
    {
        for (const TreeEntry &entry : entries)
            total_ += entry.size;
    }

    void run()
    {
        report(0);
        while (next_ < entries_.size() || !waiting_.empty()) {
            if (next_ < entries_.size() && roomFor(nextBytes()))
                readNext();
            else
                writeOldest();
        }
    }

private:
    std::uint64_t nextBytes() const
    {
        const TreeEntry &entry = entries_[next_];
        if (entry.kind == EntryKind::Directory)
            return 0;
        if (entry.kind == EntryKind::File && entry.size > ZIP_WHOLE_ENTRY_BYTES)
            return std::min<std::uint64_t>(ZIP_PIECE_BYTES, entry.size - pieceAt_);
        return entry.size;
    }

    bool roomFor(std::uint64_t bytes) const
    {
        return waiting_.empty() || (waiting_.size() < MAX_WAITING && inFlight_ + bytes <= ZIP_IN_FLIGHT_BYTES);
    }

    CompressJob::Kind kind(CompressJob::Kind deflating) const
    {
        return level_ == ZIP_LEVEL_STORED ? CompressJob::Kind::Checksum : deflating;
    }

    void readNext()
    {
        const TreeEntry &entry = entries_[next_];
        if (entry.size > ZIP_MAX_ENTRY_BYTES)
            throw PackError(entry.source.string() + " is larger than " + std::to_string(ZIP_MAX_ENTRY_BYTES) +
                            " bytes, more than an image entry can hold");
        Waiting w;
        w.entry = &entry;
        if (entry.kind == EntryKind::Symlink) {
            w.linkTarget = readLinkTarget(entry);
            w.bytes = w.linkTarget.size();
        } else if (entry.kind == EntryKind::File && entry.size <= ZIP_WHOLE_ENTRY_BYTES) {
            w.job = std::make_unique<CompressJob>();
            w.job->kind = kind(CompressJob::Kind::Whole);
            w.job->input.resize(entry.size);
            UniqueFd in = openEntry(entry);
            const std::string what = entry.source.string();
            readExactly(in.get(), w.job->input.data(), entry.size, entry.size, what);
            expectEnd(in.get(), entry.size, what);
            w.bytes = entry.size;
        } else if (entry.kind == EntryKind::File) {
            readPiece(w);
            return;
        }
        ++next_;
        enqueue(std::move(w));
    }

    // The next piece of the large entry entries_[next_]: the window of data
    // before it, then the piece itself.
    void readPiece(Waiting &w)
    {
        const TreeEntry &entry = *w.entry;
        const std::string what = entry.source.string();
        if (pieceAt_ == 0)
            pieceFile_ = openEntry(entry);
        const std::size_t size = std::size_t(nextBytes());
        w.job = std::make_unique<CompressJob>();
        CompressJob &job = *w.job;
        job.kind = kind(CompressJob::Kind::Piece);
        job.windowBytes = window_.size();
        job.input.resize(window_.size() + size);
        std::copy(window_.begin(), window_.end(), job.input.begin());
        readExactly(pieceFile_.get(), job.input.data() + job.windowBytes, size, entry.size, what);
        w.firstPiece = pieceAt_ == 0;
        w.bytes = size;
        pieceAt_ += size;
        job.last = pieceAt_ == entry.size;
        if (job.last) {
            expectEnd(pieceFile_.get(), entry.size, what);
            pieceFile_ = UniqueFd();
            window_.clear();
            pieceAt_ = 0;
            ++next_;
        } else {
            const std::size_t keep = std::min(DEFLATE_WINDOW_BYTES, job.input.size());
            window_.assign(job.input.end() - std::ptrdiff_t(keep), job.input.end());
        }
        enqueue(std::move(w));
    }

    void enqueue(Waiting w)
    {
        inFlight_ += w.bytes;
        waiting_.push_back(std::move(w));
        if (waiting_.back().job)
            pool_.submit(*waiting_.back().job);
    }

    void writeOldest()
    {
        Waiting &w = waiting_.front();
        const TreeEntry &entry = *w.entry;
        if (!w.job) {
            const ZipEntryData data{false, crc32Of(0, asBytes(w.linkTarget)), w.bytes, w.bytes};
            zip_.beginEntry(entry.name, entry.mode, data);
            zip_.write(w.linkTarget.data(), w.linkTarget.size());
            zip_.endEntry(data);
        } else {
            pool_.wait(*w.job);
            CompressJob &job = *w.job;
            const ByteBuffer &stored = job.deflated ? job.output : job.input;
            const std::size_t skip = job.deflated ? 0 : job.windowBytes;
            const std::uint64_t written = stored.size() - skip;
            if (entry.size <= ZIP_WHOLE_ENTRY_BYTES) {
                const ZipEntryData data{job.deflated, job.crc, written, w.bytes};
                zip_.beginEntry(entry.name, entry.mode, data);
                zip_.write(stored.data() + skip, written);
                zip_.endEntry(data);
            } else {
                writePiece(w, stored.data() + skip, written);
            }
        }
        inFlight_ -= w.bytes;
        report(w.bytes);
        waiting_.pop_front();
    }

    void writePiece(const Waiting &w, const unsigned char *data, std::uint64_t size)
    {
        const TreeEntry &entry = *w.entry;
        const CompressJob &job = *w.job;
        if (w.firstPiece) {
            piece_ = ZipEntryData{job.deflated, job.crc, 0, 0};
            zip_.beginEntry(entry.name, entry.mode, piece_);
        } else {
            piece_.crc = crc32Joined(piece_.crc, job.crc, w.bytes);
        }
        zip_.write(data, size);
        piece_.compressedSize += size;
        piece_.size += w.bytes;
        if (!job.last)
            return;
        if (piece_.deflated && piece_.compressedSize >= piece_.size)
            storeInstead(entry);
        zip_.endEntry(piece_);
    }

    // Deflate did not shrink the large entry: it is written again, stored,
    // from a second reading that must give the same bytes.
    void storeInstead(const TreeEntry &entry)
    {
        zip_.restartStored();
        const std::string what = entry.source.string();
        UniqueFd in = openEntry(entry);
        std::vector<unsigned char> buffer(ZIP_PIECE_BYTES);
        std::uint32_t crc = 0;
        for (std::uint64_t done = 0; done < entry.size;) {
            const std::size_t n = std::size_t(std::min<std::uint64_t>(buffer.size(), entry.size - done));
            readExactly(in.get(), buffer.data(), n, entry.size, what);
            crc = crc32Of(crc, std::span<const unsigned char>(buffer.data(), n));
            zip_.write(buffer.data(), n);
            done += n;
        }
        expectEnd(in.get(), entry.size, what);
        if (crc != piece_.crc)
            throw PackError(what + " changed while it was being packed");
        piece_ = ZipEntryData{false, crc, entry.size, entry.size};
    }

    static std::span<const unsigned char> asBytes(const std::string &text)
    {
        return {reinterpret_cast<const unsigned char *>(text.data()), text.size()};
    }

    void report(std::uint64_t bytes)
    {
        done_ += bytes;
        if (progress_)
            progress_(done_, total_);
    }

    const std::vector<TreeEntry> &entries_;
    ZipOutput &zip_;
    const int level_;
    const ZipProgress &progress_;
    std::uint64_t total_ = 0;
    std::uint64_t done_ = 0;

    std::size_t next_ = 0;      // the next entry to read
    std::uint64_t pieceAt_ = 0; // read so far of a large entry
    UniqueFd pieceFile_;        // the large entry being read
    std::vector<unsigned char> window_;
    ZipEntryData piece_; // the large entry being written, so far

    std::deque<Waiting> waiting_; // read, in order, not yet written
    std::uint64_t inFlight_ = 0;  // data bytes in waiting_
    // Last member: destroyed first, so that no worker still runs a job of
    // waiting_ when its jobs go.
    CompressPool pool_;
};

} // namespace

std::size_t zipTree(const std::filesystem::path &root, int fd, const std::string &name, std::uint32_t dosDateTime,
                    std::uint64_t sizeLimit, const ZipSettings &settings)
{
    return zipEntries(scanTree(root), fd, name, dosDateTime, sizeLimit, settings);
}

std::size_t zipEntries(const std::vector<TreeEntry> &entries, int fd, const std::string &name,
                       std::uint32_t dosDateTime, std::uint64_t sizeLimit, const ZipSettings &settings)
{
    if (settings.level < ZIP_LEVEL_STORED || settings.level > ZIP_LEVEL_MAX)
        throw PackError("compression level " + std::to_string(settings.level) + " is out of range (" +
                        std::to_string(ZIP_LEVEL_STORED) + " to " + std::to_string(ZIP_LEVEL_MAX) + ")");
    checkEntryCount(name, entries.size());
    ZipOutput zip(fd, name, dosDateTime, sizeLimit);
    const unsigned workers = std::min(settings.workers > 0 ? settings.workers : usableProcessors(), MAX_WORKERS);
    Zipper(entries, zip, settings, workers).run();
    zip.finish();
    return entries.size();
}

} // namespace mkportable
