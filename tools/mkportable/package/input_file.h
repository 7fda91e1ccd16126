// A file whose bytes go into a package element.
#ifndef MKPORTABLE_INPUT_FILE_H
#define MKPORTABLE_INPUT_FILE_H

#include "unique_fd.h"

#include <cstdint>
#include <filesystem>
#include <string>
#include <sys/types.h>

namespace mkportable {

// An open regular file with its size and identity, measured once when it was
// opened. The package layout is planned from that size, and the copy checks
// that the file still has exactly that many bytes.
class InputFile {
public:
    // Opens `path` read-only. `role` names the input in messages ("launcher",
    // "image", ...). Throws PackError when the file cannot be opened or is no
    // regular file.
    static InputFile open(const std::filesystem::path &path, const std::string &role);

    // Takes over an already open regular file (such as an unlinked temporary
    // file), positioned anywhere; `name` is used in messages. Throws PackError
    // when fstat fails or the file is no regular file.
    static InputFile adopt(UniqueFd fd, const std::string &name);

    // "<role> <path>", for messages.
    const std::string &name() const { return name_; }
    std::uint64_t size() const { return size_; }
    int fd() const { return fd_.get(); }
    // True when `st` describes this very file (same device and inode).
    bool isSameFile(dev_t dev, ino_t ino) const { return dev == dev_ && ino == ino_; }

    // Copies the whole file, from its start, to `out`. Throws PackError on a
    // failed read or write, or when the file's size changed since it was opened.
    void copyTo(int out, const std::string &outWhat) const;

private:
    InputFile(UniqueFd fd, std::string name);

    UniqueFd fd_;
    std::string name_;
    std::uint64_t size_ = 0;
    dev_t dev_ = 0;
    ino_t ino_ = 0;
};

} // namespace mkportable

#endif
