// Package reader and record selection on arbitrary package files.
#include "command_selection.h"
#include "package_reader.h"
#include "run_state.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    // Identification would start uname and a mismatch would pause: the
    // reader and the table are what is fuzzed here.
    setenv("VESK_PORTABLE_INTERACTIVE", "", 1);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const std::string path = "fuzz-package-" + std::to_string(getpid());
    FILE *f = std::fopen(path.c_str(), "wb");
    if (!f)
        return 0;
    std::fwrite(data, 1, size, f);
    std::fclose(f);

    int fd = fd_open(path.c_str());
    PackageDirectory dir;
    if (fd < 0)
        return 0;
    if (readPackageDirectory(fd, &dir) != 0) {
        fd_close(fd);
        return 0;
    }
    CommandRecord rec;
    if (selectCommandRecord(&dir, fd, &rec) == 0) {
        // The decoded text fields always end inside their buffers.
        if (std::strlen(rec.command) > RECORD_COMMAND_SIZE || std::strlen(rec.arguments) > RECORD_ARGUMENTS_SIZE)
            std::abort();
        whichImg = -1;
        std::string out = path + ".image";
        extractPkgElementFile(PKG_IMAGE, out.c_str(), &dir, fd);
        unlink(out.c_str());
    }
    fd_close(fd);
    return 0;
}
