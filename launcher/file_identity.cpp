#include "file_identity.h"

#include <cinttypes>
#include <cstdint>
#include <cstdio>

std::string fileIdentity(const struct stat &st)
{
    char line[160];
    std::snprintf(line, sizeof line, "%" PRIu64 " %" PRIu64 " %" PRIu64 " %lld.%09ld %lld.%09ld", uint64_t(st.st_dev),
                  uint64_t(st.st_ino), uint64_t(st.st_size), (long long)st.st_mtim.tv_sec, st.st_mtim.tv_nsec,
                  (long long)st.st_ctim.tv_sec, st.st_ctim.tv_nsec);
    return line;
}
