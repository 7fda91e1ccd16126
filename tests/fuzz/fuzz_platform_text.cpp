// Parsing of what uname prints and of the distributions' release files.
#include "pfminfo_internal.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::string text(reinterpret_cast<const char *>(data), size);
    std::string name = text;
    cutPlatformName(name.data());
    classifyHardwareName(name.c_str());
    classifyMachineName(name.c_str());

    int32_t release = 0;
    for (const char *token : {"release ", "VERSION = "})
        parseReleaseNumber(text.c_str(), token, &release);
    int32_t distribution = 0;
    release = -1;
    // os-release names only the distributions the launcher knows.
    if (parseOsRelease(text.c_str(), &distribution, &release) && distribution != PFM_DIST_SUSE &&
        distribution != PFM_DIST_REDHAT && distribution != PFM_DIST_DEBIAN && distribution != PFM_DIST_UBUNTU)
        std::abort();
    return 0;
}
