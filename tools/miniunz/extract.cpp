#include "extract.h"

#include "diag.h"
#include "entry_data.h"
#include "entry_rules.h"
#include "extract_pool.h"
#include "target_tree.h"
#include "zip_directory.h"

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <climits>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

// Symbolic link targets are short; the reading thread's own reader needs
// little room.
constexpr size_t kLinkBufferSize = 64 * 1024;

// One entry as the central directory describes it, with where its local
// header places its data.
struct Entry {
    ZipEntry zip;
    ZipDataRange range;
    std::string located; // why the local header was refused; empty when it was found
};

// Where an entry's data lies in the file (the archive starting at `base`)
// and what it must turn into.
EntryData dataOf(const Entry &e, uint64_t base)
{
    return {base + e.range.dataOffset,
            e.zip.compressedSize,
            e.zip.size,
            e.zip.crc,
            e.zip.method == kMethodDeflated,
            e.zip.method == kMethodBzip2,
            e.zip.method == kMethodDeflated && !e.zip.zip64Size};
}

class Extractor {
public:
    Extractor(const ZipSource &src, const ZipArchive &archive, const ExtractOptions &opts)
        : src_(src), archive_(archive), opts_(opts), shownArchive_(printableName(opts.archive)), tree_(opts.overwrite),
          linkReader_(src.fd, kLinkBufferSize)
    {
    }

    // See extractArchive.
    int run();
    // Reads every entry as run() would unpack it, writing nothing.
    int test();

private:
    // Reads the whole central directory and every local header before anything
    // is written, so that a damaged directory or overlapping entries leave
    // nothing behind. Returns false after complaining.
    bool readDirectory();
    // Unpacks one entry; failures are reported and recorded in ok_.
    void extract(const Entry &entry, ExtractPool &pool);
    bool extractDirectory(const CheckedEntry &c, const std::string &shown, ExtractPool &pool);
    bool extractSymlink(const CheckedEntry &c, const std::string &shown, const EntryData &data, ExtractPool &pool);

    const ZipSource &src_;
    const ZipArchive &archive_;
    const ExtractOptions &opts_;
    std::string shownArchive_;
    std::vector<Entry> entries_;
    // Entries refused because their data cannot be read (encryption, methods),
    // by reason: the first entry's name and how many more. Reported once per
    // reason at the end, not once per entry.
    struct Refusal {
        std::string reason, first;
        uint64_t more = 0;
    };
    std::vector<Refusal> refusals_;
    TargetTree tree_;
    EntryReader linkReader_;
    bool ok_ = true;
};

bool Extractor::readDirectory()
{
    ZipDirectoryReader reader(src_, archive_);
    std::string why;
    Entry e;
    while (reader.next(e.zip, why)) {
        e.located.clear();
        if (!locateZipData(src_, archive_, e.zip, e.range, e.located))
            e.range = {};
        entries_.push_back(std::move(e));
    }
    if (!why.empty()) {
        complain("%s: %s: the central directory is damaged", shownArchive_.c_str(), why.c_str());
        return false;
    }
    if (reader.count() != archive_.entries)
        complain("%s: warning: the end record counts %" PRIu64 " entries, the central directory "
                 "holds %" PRIu64 "; unpacking all %" PRIu64,
                 shownArchive_.c_str(), archive_.entries, reader.count(), reader.count());
    // One local header shared by many central entries turns a small archive
    // into a huge tree (a known zip bomb): no entry's bytes may be another's.
    std::vector<ZipDataRange> ranges;
    std::vector<size_t> owners;
    for (size_t i = 0; i < entries_.size(); i++) {
        if (entries_[i].located.empty()) {
            ranges.push_back(entries_[i].range);
            owners.push_back(i);
        }
    }
    auto [first, second] = findZipOverlap(ranges);
    if (first != SIZE_MAX) {
        complain("%s: refused: the entries %s and %s overlap in the archive (a zip "
                 "bomb?)",
                 shownArchive_.c_str(), printableName(entries_[owners[first]].zip.name).c_str(),
                 printableName(entries_[owners[second]].zip.name).c_str());
        return false;
    }
    return true;
}

int Extractor::run()
{
    if (!readDirectory() || !tree_.open(opts_.targetDir))
        return kExitFailed;
    uint64_t needed = 0;
    for (const Entry &e : entries_)
        needed = e.zip.size > UINT64_MAX - needed ? UINT64_MAX : needed + e.zip.size;
    if (!tree_.checkSpace(needed))
        return kExitFailed;
    if (!entries_.empty()) {
        ExtractPool pool(tree_, src_.fd, poolShape(usableCpus()));
        for (const Entry &e : entries_) {
            if (tree_.stopped())
                break;
            extract(e, pool);
        }
        if (!pool.finish())
            ok_ = false;
    }
    for (const Refusal &r : refusals_) {
        if (r.more == 0)
            complain("%s: refused: %s", r.first.c_str(), r.reason.c_str());
        else
            complain("%s and %" PRIu64 " more entries: refused: %s", r.first.c_str(), r.more, r.reason.c_str());
    }
    if (tree_.stopped())
        ok_ = false;
    if (!tree_.applyFinalModes())
        ok_ = false;
    return ok_ ? kExitOk : kExitFailed;
}

int Extractor::test()
{
    if (!readDirectory())
        return kExitFailed;
    EntryReader reader(src_.fd, kLinkBufferSize);
    for (const Entry &e : entries_) {
        std::string shown = printableName(e.zip.name);
        CheckedEntry c;
        std::string why = checkEntry(e.zip, c);
        if (!why.empty()) {
            complain("%s: refused: %s", shown.c_str(), why.c_str());
            ok_ = false;
            continue;
        }
        if (c.mode.kind == EntryKind::Directory)
            continue;
        if (!e.located.empty()) {
            complain("%s: %s", shown.c_str(), e.located.c_str());
            ok_ = false;
            continue;
        }
        EntryData data = dataOf(e, src_.base);
        std::string target;
        bool link = c.mode.kind == EntryKind::Symlink;
        // The data is checked (sizes, CRC) and dropped; a link's target is kept
        // for the link rule.
        bool read = reader.read(data, shown, [&](const char *bytes, size_t size) {
            if (link && target.size() < PATH_MAX)
                target.append(bytes, size);
            return true;
        });
        if (!read) {
            ok_ = false;
        } else if (const char *bad = link ? checkLinkTarget(target, c.path.parts.size() - 1) : nullptr) {
            complain("%s: refused link to '%s': %s", shown.c_str(), printableName(target).c_str(), bad);
            ok_ = false;
        }
    }
    return ok_ ? kExitOk : kExitFailed;
}

void Extractor::extract(const Entry &e, ExtractPool &pool)
{
    std::string shown = printableName(e.zip.name);
    CheckedEntry c;
    std::string why = checkEntry(e.zip, c);
    bool done = false;
    if (!why.empty() && why == dataRefusal(e.zip)) {
        auto same = std::find_if(refusals_.begin(), refusals_.end(), [&](const Refusal &r) { return r.reason == why; });
        if (same == refusals_.end())
            refusals_.push_back({why, shown});
        else
            same->more++;
    } else if (!why.empty()) {
        complain("%s: refused: %s", shown.c_str(), why.c_str());
    } else if (c.mode.kind == EntryKind::Directory) {
        done = extractDirectory(c, shown, pool);
    } else if (!e.located.empty()) {
        complain("%s: %s", shown.c_str(), e.located.c_str());
    } else {
        EntryData data = dataOf(e, src_.base);
        if (c.mode.kind == EntryKind::Symlink) {
            done = extractSymlink(c, shown, data, pool);
        } else {
            // Written by the pool; its failures count when it finishes.
            pool.submit({std::move(shown), std::move(c.path.parts), c.mode.perms, data});
            done = true;
        }
    }
    if (!done)
        ok_ = false;
}

bool Extractor::extractDirectory(const CheckedEntry &c, const std::string &shown, ExtractPool &pool)
{
    const std::vector<std::string> &parts = c.path.parts;
    if (parts.empty())
        return true; // the target directory itself
    pool.waitFor(namesOf(parts));
    if (!tree_.openDirectory(parts, parts.size(), true, shown))
        return false;
    tree_.setFinalMode(parts, c.mode.perms);
    return true;
}

bool Extractor::extractSymlink(const CheckedEntry &c, const std::string &shown, const EntryData &data,
                               ExtractPool &pool)
{
    const std::vector<std::string> &parts = c.path.parts;
    if (data.size >= PATH_MAX) {
        complain("%s: refused: the link target is longer than PATH_MAX", shown.c_str());
        return false;
    }
    std::string target;
    bool ok = linkReader_.read(data, shown, [&](const char *bytes, size_t size) {
        target.append(bytes, size);
        return true;
    });
    if (!ok)
        return false;
    if (const char *why = checkLinkTarget(target, parts.size() - 1)) {
        complain("%s: refused link to '%s': %s", shown.c_str(), printableName(target).c_str(), why);
        return false;
    }
    pool.waitFor(namesOf(parts));
    DirHandle dir = tree_.openDirectory(parts, parts.size() - 1, false, shown);
    if (!dir)
        return false;
    const std::string &leaf = parts.back();
    return tree_.createLeaf(dir->get(), leaf, shown, "symlinkat",
                            [&] { return symlinkat(target.c_str(), dir->get(), leaf.c_str()); }) == 0;
}

// Reads the end records of `src`: false after complaining.
bool readEndRecords(const ZipSource &src, const ExtractOptions &opts, ZipArchive &archive)
{
    std::string why;
    if (readZipArchive(src, archive, why))
        return true;
    complain("%s: %s", printableName(opts.archive).c_str(), why.c_str());
    return false;
}

} // namespace

// Apart from unpacking, so that a program that only tests (the launcher)
// links none of the unpacking code.
int testArchive(const ZipSource &src, const std::string &shownArchive)
{
    ExtractOptions opts;
    opts.archive = shownArchive;
    opts.testOnly = true;
    ZipArchive archive;
    if (!readEndRecords(src, opts, archive))
        return kExitFailed;
    return Extractor(src, archive, opts).test();
}

int extractArchive(const ExtractOptions &opts)
{
    std::string shown = printableName(opts.archive);
    // O_NONBLOCK: a FIFO named as the archive must not hang the run. The
    // entries' data is read through this descriptor too.
    portable::UniqueFd fd(open(opts.archive.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    struct stat st;
    if (!fd.valid() || fstat(fd.get(), &st) != 0) {
        complain("%s: open: %s", shown.c_str(), strerror(errno));
        return kExitFailed;
    }
    ZipSource src{fd.get(), 0, S_ISREG(st.st_mode) ? (uint64_t)st.st_size : 0};
    if (opts.testOnly)
        return testArchive(src, opts.archive);
    ZipArchive archive;
    if (!readEndRecords(src, opts, archive))
        return kExitFailed;
    return Extractor(src, archive, opts).run();
}
