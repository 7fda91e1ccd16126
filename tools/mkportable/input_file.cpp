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
        throwSystemError("fstat(" + name_ + ")", errno);
    if (!S_ISREG(st.st_mode))
        throw PackError(name_ + " is not a regular file");
    size_ = std::uint64_t(st.st_size);
    dev_ = st.st_dev;
    ino_ = st.st_ino;
}

InputFile InputFile::open(const std::filesystem::path &path, const std::string &role)
{
    std::string name = role + " " + path.string();
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        throwSystemError("open(" + name + ")", errno);
    return InputFile(UniqueFd(fd), name);
}

InputFile InputFile::adopt(UniqueFd fd, const std::string &name)
{
    return InputFile(std::move(fd), name);
}

void InputFile::copyTo(int out, const std::string &outWhat) const
{
    if (lseek(fd_.get(), 0, SEEK_SET) != 0)
        throwSystemError("lseek(" + name_ + ")", errno);
    copyExactly(fd_.get(), out, size_, name_, outWhat);
}

} // namespace mkportable
