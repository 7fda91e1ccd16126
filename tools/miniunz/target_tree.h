// The directory an archive unpacks into, reached only through descriptors:
// every entry's place is walked from the target directory one component at a
// time with O_NOFOLLOW, so no symbolic link, whether planted before the run or
// unpacked by it, is ever followed to reach a place to write.
#pragma once

#include "scoped_fd.h"

#include <map>
#include <string>
#include <sys/types.h>
#include <vector>

class TargetTree {
public:
  // `overwrite` is the -o rule: an existing name at an entry's place is
  // removed and created anew instead of failing the entry.
  explicit TargetTree(bool overwrite) : overwrite_(overwrite) {}

  // Opens the target directory `path` ("" is the current directory), first
  // creating it and its missing parents (mode 0755 less the umask). Links in
  // `path` itself are followed: it is the operator's choice. Returns false
  // after complaining.
  bool open(const std::string &path);

  // Returns a descriptor of the directory named by parts[0..count), below
  // the target directory, creating the missing ones (mode 0700 while the run
  // lasts, 0755 at its end unless setFinalMode says otherwise). A symbolic
  // link or other non-directory on the way fails the entry, except that with
  // `replaceLast` and -o a non-directory as the last component is removed and
  // replaced by a directory. With count 0 it is the target directory itself.
  // Returns an invalid descriptor after complaining, naming `shown`.
  ScopedFd openDirectory(const std::vector<std::string> &parts, size_t count, bool replaceLast,
                         const std::string &shown);

  // Applies the -o rule after creating `leaf` in `dirFd` failed with EEXIST:
  // without -o complains and returns false; with -o removes the old name
  // (unlinkat, so a link is removed, never followed; a directory is not
  // removed) and returns true so that the caller tries once more.
  bool makeRoom(int dirFd, const std::string &leaf, const std::string &shown);

  // Sets the mode that directory `parts` gets when the run ends, if this run
  // created it; directories that existed before keep their mode.
  void setFinalMode(const std::vector<std::string> &parts, mode_t perms);

  // Gives every directory this run created its final mode, deepest first so
  // that a parent without search or write permission is changed last.
  // Returns false if any failed, after complaining.
  bool applyFinalModes();

private:
  // openDirectory, creating missing directories only when `create`.
  ScopedFd walk(const std::vector<std::string> &parts, size_t count, bool create, bool replaceLast,
                const std::string &shown);
  int makeDirectory(int parentFd, const std::string &name, const std::string &path,
                    const std::string &shown);

  bool overwrite_;
  ScopedFd root_;
  // Directories created by this run: path below the target -> final mode.
  std::map<std::string, mode_t> created_;
};
