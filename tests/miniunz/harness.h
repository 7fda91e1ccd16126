// Harness for the miniunz tests: runs the real program and lays out a
// scratch directory per test.
#pragma once

#include "package_fixture.h" // readFile
#include "sandbox.h"         // scratchDir
#include "zip_fixture.h"

#include <set>
#include <string>
#include <sys/resource.h>
#include <sys/types.h>
#include <vector>

struct RunOptions {
  std::string program = MINIUNZ_BIN;
  rlim_t fileSizeLimit =
      RLIM_INFINITY; // RLIMIT_FSIZE, with SIGXFSZ ignored: writes fail with EFBIG
  mode_t umask = 022;
  rlim_t openFilesLimit = RLIM_INFINITY; // RLIMIT_NOFILE
};

struct RunResult {
  int exitCode = -1; // -1 when the program did not exit normally
  std::string err;   // everything written to stderr
  long maxRssKiB = 0;
};

// Runs options.program the way the launcher does: standard output discarded,
// standard error captured, and standard input an open pipe that never
// delivers anything, so that a prompt would hang and time out. Runs it with
// `args` in directory `cwd`; kills it after 60 seconds (exitCode stays -1
// and err ends with a note).
RunResult runMiniunz(const std::vector<std::string> &args, const std::string &cwd,
                     const RunOptions &options = {});

// One test's scratch layout: ROOT/image.zip is unpacked into ROOT/out, and
// ROOT/outside holds what an escaping entry might hit.
struct Workspace {
  Workspace();
  std::string root, zip, out, outside;

  // Writes `entries` to `zip`.
  void pack(const std::vector<ZipEntrySpec> &entries) const { writeZip(zip, entries); }
  // Runs miniunz [-o] image.zip -d out from `root`.
  RunResult unpack(bool overwrite = false, const RunOptions &options = {}) const;
  // Every path below `root` except those below `out`, with its type, mode,
  // link target or content: equal before and after a run when nothing
  // outside the target was touched.
  std::set<std::string> outsideTarget() const;
};

// Type and permission bits of `path` (not following a link), or 0 if absent.
unsigned modeOf(const std::string &path);

// `size` bytes that deflate poorly, the same for the same `seed`.
std::string noise(size_t size, unsigned seed);
