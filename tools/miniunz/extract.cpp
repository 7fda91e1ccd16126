#include "extract.h"

#include "diag.h"
#include "end_record.h"
#include "entry_data.h"
#include "entry_kind.h"
#include "entry_name.h"
#include "extract_pool.h"
#include "target_tree.h"

#include <minizip/unzip.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>
#include <vector>

namespace {

// Symbolic link targets are short; the reading thread's own reader needs
// little room.
constexpr size_t kLinkBufferSize = 64 * 1024;

// One entry as the central directory describes it.
struct Entry {
  std::string shown; // printable name for messages
  EntryPath path;
  EntryMode mode{EntryKind::File, 0};
  EntryData data;
};

class Extractor {
public:
  Extractor(unzFile zf, int archiveFd, const ExtractOptions &opts)
      : zf_(zf), opts_(opts), tree_(opts.overwrite), linkReader_(archiveFd, kLinkBufferSize),
        archiveFd_(archiveFd) {}

  // See extractArchive.
  int run();

private:
  // Reads the current entry's header. Returns false when the entry list is
  // damaged, the only failure that ends the run; `ok_` covers the rest.
  bool extractCurrent(unsigned long index, ExtractPool &pool);
  // Finds where the current entry's data lies, from its local header.
  bool locateData(const unz_file_info64 &info, Entry &e);
  bool extractDirectory(const Entry &e, ExtractPool &pool);
  bool extractSymlink(const Entry &e, ExtractPool &pool);

  unzFile zf_;
  const ExtractOptions &opts_;
  TargetTree tree_;
  EntryReader linkReader_;
  int archiveFd_;
  bool ok_ = true;
};

int Extractor::run() {
  std::string archive = printableName(opts_.archive);
  unz_global_info64 info;
  int rc = unzGetGlobalInfo64(zf_, &info);
  if (rc != UNZ_OK) {
    complain("%s: unzGetGlobalInfo64: %s", archive.c_str(), unzErrorText(rc));
    return kExitFailed;
  }
  if (!tree_.open(opts_.targetDir))
    return kExitFailed;
  if (info.number_entry > 0) {
    ExtractPool pool(tree_, archiveFd_, poolShape(usableCpus()));
    unsigned long index = 0;
    for (rc = unzGoToFirstFile(zf_); rc == UNZ_OK; rc = unzGoToNextFile(zf_)) {
      if (!extractCurrent(index++, pool))
        break; // complained; rc stays UNZ_OK
    }
    if (rc == UNZ_OK) {
      ok_ = false;
    } else if (rc != UNZ_END_OF_LIST_OF_FILE) {
      complain("%s: %s (after %lu entries): %s", archive.c_str(),
               index ? "unzGoToNextFile" : "unzGoToFirstFile", index, unzErrorText(rc));
      ok_ = false;
    }
    if (!pool.finish())
      ok_ = false;
  }
  if (!tree_.applyFinalModes())
    ok_ = false;
  return ok_ ? kExitOk : kExitFailed;
}

bool Extractor::extractCurrent(unsigned long index, ExtractPool &pool) {
  unz_file_info64 info;
  int rc = unzGetCurrentFileInfo64(zf_, &info, nullptr, 0, nullptr, 0, nullptr, 0);
  std::vector<char> name;
  if (rc == UNZ_OK) {
    name.resize(info.size_filename + 1);
    rc = unzGetCurrentFileInfo64(zf_, &info, name.data(), (uLong)name.size(), nullptr, 0, nullptr,
                                 0);
  }
  if (rc != UNZ_OK) {
    complain("%s: unzGetCurrentFileInfo64 (entry %lu): %s", printableName(opts_.archive).c_str(),
             index, unzErrorText(rc));
    return false;
  }
  std::string_view raw(name.data(), info.size_filename);
  Entry e;
  e.shown = printableName(raw);
  bool done = false;
  if (const char *why = parseEntryName(raw, e.path)) {
    complain("%s: refused: %s", e.shown.c_str(), why);
  } else if (info.flag & 1) {
    complain("%s: refused: encrypted entries are not supported", e.shown.c_str());
  } else if (info.compression_method != 0 && info.compression_method != Z_DEFLATED) {
    complain("%s: refused: unsupported compression method %lu", e.shown.c_str(),
             info.compression_method);
  } else {
    e.mode = entryModeOf(info.version, info.external_fa, e.path.endsWithSlash);
    if (e.mode.kind == EntryKind::Directory) {
      done = extractDirectory(e, pool);
    } else if (e.path.parts.empty()) {
      complain("%s: refused: the name does not name a file", e.shown.c_str());
    } else if (!locateData(info, e)) {
      // complained
    } else if (e.mode.kind == EntryKind::Symlink) {
      done = extractSymlink(e, pool);
    } else {
      // Written by the pool; its failures count when it finishes.
      pool.submit({std::move(e.shown), std::move(e.path.parts), e.mode.perms, e.data});
      done = true;
    }
  }
  if (!done)
    ok_ = false;
  return true;
}

bool Extractor::locateData(const unz_file_info64 &info, Entry &e) {
  // Raw: minizip checks the local header against the central directory and
  // finds the data; the data itself is read by EntryReader.
  int method = 0, level = 0;
  int rc = unzOpenCurrentFile2(zf_, &method, &level, 1);
  if (rc != UNZ_OK) {
    complain("%s: unzOpenCurrentFile: %s", e.shown.c_str(), unzErrorText(rc));
    return false;
  }
  e.data.offset = unzGetCurrentFileZStreamPos64(zf_);
  unzCloseCurrentFile(zf_);
  e.data.compressedSize = info.compressed_size;
  e.data.size = info.uncompressed_size;
  e.data.crc = (uint32_t)info.crc;
  e.data.deflated = info.compression_method == Z_DEFLATED;
  return true;
}

bool Extractor::extractDirectory(const Entry &e, ExtractPool &pool) {
  const std::vector<std::string> &parts = e.path.parts;
  if (parts.empty())
    return true; // the target directory itself
  pool.waitFor(namesOf(parts));
  if (!tree_.openDirectory(parts, parts.size(), true, e.shown))
    return false;
  tree_.setFinalMode(parts, e.mode.perms);
  return true;
}

bool Extractor::extractSymlink(const Entry &e, ExtractPool &pool) {
  const std::vector<std::string> &parts = e.path.parts;
  if (e.data.size >= PATH_MAX) {
    complain("%s: refused: the link target is longer than PATH_MAX", e.shown.c_str());
    return false;
  }
  std::string target;
  bool ok = linkReader_.read(e.data, e.shown, [&](const char *data, size_t size) {
    target.append(data, size);
    return true;
  });
  if (!ok)
    return false;
  if (const char *why = checkLinkTarget(target, parts.size() - 1)) {
    complain("%s: refused link to '%s': %s", e.shown.c_str(), printableName(target).c_str(), why);
    return false;
  }
  pool.waitFor(namesOf(parts));
  DirHandle dir = tree_.openDirectory(parts, parts.size() - 1, false, e.shown);
  if (!dir)
    return false;
  const std::string &leaf = parts.back();
  return tree_.createLeaf(dir->get(), leaf, e.shown, "symlinkat", [&] {
    return symlinkat(target.c_str(), dir->get(), leaf.c_str());
  }) == 0;
}

} // namespace

int extractArchive(const ExtractOptions &opts) {
  std::string shown = printableName(opts.archive);
  EndRecord end;
  // O_NONBLOCK: a FIFO named as the archive must not hang the run. The
  // entries' data is read through this descriptor too.
  ScopedFd fd(open(opts.archive.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
  if (!fd.valid()) {
    complain("%s: open: %s", shown.c_str(), strerror(errno));
    return kExitFailed;
  }
  if (!findEndRecord(fd.get(), end)) {
    complain("%s: no complete end record at the end of the file: the archive is cut short "
             "or is not a zip archive",
             shown.c_str());
    return kExitFailed;
  }
  if (end.entries == 0 && end.directorySize == 0) {
    // A valid archive without entries, which unzOpen64 refuses to open.
    TargetTree tree(opts.overwrite);
    return tree.open(opts.targetDir) ? kExitOk : kExitFailed;
  }
  unzFile zf = unzOpen64(opts.archive.c_str());
  if (!zf) {
    complain("%s: unzOpen64: not a zip archive, or its central directory is damaged",
             shown.c_str());
    return kExitFailed;
  }
  int status = Extractor(zf, fd.get(), opts).run();
  unzClose(zf);
  return status;
}
