#include "extract.h"

#include "diag.h"
#include "end_record.h"
#include "entry_data.h"
#include "entry_kind.h"
#include "entry_name.h"
#include "target_tree.h"

#include <minizip/unzip.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

// Every entry's data passes through one buffer of this size.
constexpr size_t kBufferSize = 256 * 1024;

// Writes all of `data` to `fd`. Returns false after complaining.
bool writeAll(int fd, const char *data, size_t size, const std::string &shown) {
  while (size > 0) {
    ssize_t n = write(fd, data, size);
    if (n < 0 && errno == EINTR)
      continue;
    if (n < 0) {
      complain("%s: write: %s", shown.c_str(), strerror(errno));
      return false;
    }
    data += n;
    size -= (size_t)n;
  }
  return true;
}

// One entry as the central directory describes it.
struct Entry {
  std::string shown; // printable name for messages
  EntryPath path;
  EntryMode mode{EntryKind::File, 0};
  uint64_t size = 0; // uncompressed size the archive records
};

class Extractor {
public:
  Extractor(unzFile zf, const ExtractOptions &opts)
      : zf_(zf), opts_(opts), tree_(opts.overwrite), buffer_(kBufferSize) {}

  // See extractArchive.
  int run();

private:
  // Reads the current entry's header. Returns false when the entry list is
  // damaged, the only failure that ends the run; `ok_` covers the rest.
  bool extractCurrent(unsigned long index);
  bool extractDirectory(const Entry &e);
  bool extractFile(const Entry &e);
  bool extractSymlink(const Entry &e);
  // Creates `leaf` in `dirFd` with `attempt` (a descriptor or 0 on success,
  // -1 with errno), applying the -o rule when the name exists. Returns the
  // result of the successful attempt, or -1 after complaining.
  template <class Attempt>
  int createLeaf(int dirFd, const std::string &leaf, const Entry &e, const char *call,
                 Attempt attempt);

  unzFile zf_;
  const ExtractOptions &opts_;
  TargetTree tree_;
  std::vector<char> buffer_;
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
    unsigned long index = 0;
    for (rc = unzGoToFirstFile(zf_); rc == UNZ_OK; rc = unzGoToNextFile(zf_)) {
      if (!extractCurrent(index++))
        break; // complained; rc stays UNZ_OK
    }
    if (rc == UNZ_OK) {
      ok_ = false;
    } else if (rc != UNZ_END_OF_LIST_OF_FILE) {
      complain("%s: %s (after %lu entries): %s", archive.c_str(),
               index ? "unzGoToNextFile" : "unzGoToFirstFile", index, unzErrorText(rc));
      ok_ = false;
    }
  }
  if (!tree_.applyFinalModes())
    ok_ = false;
  return ok_ ? kExitOk : kExitFailed;
}

bool Extractor::extractCurrent(unsigned long index) {
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
  e.size = info.uncompressed_size;
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
      done = extractDirectory(e);
    } else if (e.path.parts.empty()) {
      complain("%s: refused: the name does not name a file", e.shown.c_str());
    } else if (e.mode.kind == EntryKind::Symlink) {
      done = extractSymlink(e);
    } else {
      done = extractFile(e);
    }
  }
  if (!done)
    ok_ = false;
  return true;
}

template <class Attempt>
int Extractor::createLeaf(int dirFd, const std::string &leaf, const Entry &e, const char *call,
                          Attempt attempt) {
  int result = attempt();
  if (result < 0 && errno == EEXIST) {
    if (!tree_.makeRoom(dirFd, leaf, e.shown))
      return -1;
    result = attempt();
  }
  if (result < 0)
    complain("%s: %s: %s", e.shown.c_str(), call, strerror(errno));
  return result;
}

bool Extractor::extractDirectory(const Entry &e) {
  const std::vector<std::string> &parts = e.path.parts;
  if (parts.empty())
    return true; // the target directory itself
  ScopedFd dir = tree_.openDirectory(parts, parts.size(), true, e.shown);
  if (!dir.valid())
    return false;
  tree_.setFinalMode(parts, e.mode.perms);
  return true;
}

bool Extractor::extractFile(const Entry &e) {
  const std::vector<std::string> &parts = e.path.parts;
  ScopedFd dir = tree_.openDirectory(parts, parts.size() - 1, false, e.shown);
  if (!dir.valid())
    return false;
  const std::string &leaf = parts.back();
  ScopedFd out(createLeaf(dir.get(), leaf, e, "openat", [&] {
    return openat(dir.get(), leaf.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                  0600);
  }));
  if (!out.valid())
    return false;
  bool ok = streamEntryData(zf_, e.size, buffer_, e.shown, [&](const char *data, size_t size) {
    return writeAll(out.get(), data, size, e.shown);
  });
  if (ok && fchmod(out.get(), e.mode.perms) != 0) {
    complain("%s: fchmod: %s", e.shown.c_str(), strerror(errno));
    ok = false;
  }
  if (close(out.release()) != 0 && ok) {
    complain("%s: close: %s", e.shown.c_str(), strerror(errno));
    ok = false;
  }
  // A file that is not exactly what the archive holds must not look complete.
  if (!ok && unlinkat(dir.get(), leaf.c_str(), 0) != 0)
    complain("%s: unlinkat (removing the incomplete file): %s", e.shown.c_str(), strerror(errno));
  return ok;
}

bool Extractor::extractSymlink(const Entry &e) {
  const std::vector<std::string> &parts = e.path.parts;
  if (e.size >= PATH_MAX) {
    complain("%s: refused: the link target is longer than PATH_MAX", e.shown.c_str());
    return false;
  }
  std::string target;
  bool ok = streamEntryData(zf_, e.size, buffer_, e.shown, [&](const char *data, size_t size) {
    target.append(data, size);
    return true;
  });
  if (!ok)
    return false;
  if (const char *why = checkLinkTarget(target, parts.size() - 1)) {
    complain("%s: refused link to '%s': %s", e.shown.c_str(), printableName(target).c_str(), why);
    return false;
  }
  ScopedFd dir = tree_.openDirectory(parts, parts.size() - 1, false, e.shown);
  if (!dir.valid())
    return false;
  const std::string &leaf = parts.back();
  return createLeaf(dir.get(), leaf, e, "symlinkat",
                    [&] { return symlinkat(target.c_str(), dir.get(), leaf.c_str()); }) == 0;
}

} // namespace

int extractArchive(const ExtractOptions &opts) {
  std::string shown = printableName(opts.archive);
  EndRecord end;
  {
    // O_NONBLOCK: a FIFO named as the archive must not hang the run.
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
  int status = Extractor(zf, opts).run();
  unzClose(zf);
  return status;
}
