#include "input_file.h"

#include "pack_error.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace mkportable {

InputFile::InputFile(UniqueFd fd, std::string name) : fd_(std::move(fd)), name_(std::move(name))
{
    struct stat st;
    if (fstat(fd_.get(), &st) != 0)
        throwSystemError("cannot examine the " + name_, errno);
    if (!S_ISREG(st.st_mode))
        throw PackError(name_ + " is not a regular file");
    size_ = std::uint64_t(st.st_size);
    dev_ = st.st_dev;
    ino_ = st.st_ino;
}

InputFile InputFile::open(const std::filesystem::path &path, const std::string &role)
{
    std::string name = role + " " + path.string();
    // Without O_NONBLOCK, opening a FIFO would wait for a writer forever;
    // the constructor then refuses anything but a regular file.
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        throwSystemError("cannot open the " + name, errno);
    InputFile file(UniqueFd(fd), name);
    if (fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0)
        throwSystemError("cannot read the " + name, errno);
    return file;
}

InputFile InputFile::adopt(UniqueFd fd, const std::string &name)
{
    return InputFile(std::move(fd), name);
}

void InputFile::copyTo(int out, const std::string &outWhat) const
{
    if (lseek(fd_.get(), 0, SEEK_SET) != 0)
        throwSystemError("cannot read the " + name_, errno);
    copyExactly(fd_.get(), out, size_, name_, outWhat);
}

} // namespace mkportable
