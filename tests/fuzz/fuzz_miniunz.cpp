// miniunz's extraction of arbitrary archives into a scratch directory:
// whatever the archive holds, nothing may appear beside the target.
#include "extract.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <set>
#include <string>
#include <system_error>
#include <unistd.h>

namespace fs = std::filesystem;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const std::string archive = "fuzz-" + std::to_string(getpid()) + ".zip";
    static const std::string target = "fuzz-" + std::to_string(getpid()) + "-out";
    FILE *f = std::fopen(archive.c_str(), "wb");
    if (!f)
        return 0;
    std::fwrite(data, 1, size, f);
    std::fclose(f);

    ExtractOptions opts;
    opts.archive = archive;
    opts.targetDir = target;
    opts.overwrite = (size & 1) != 0;
    extractArchive(opts);

    std::set<std::string> beside;
    for (const auto &entry : fs::directory_iterator("."))
        beside.insert(entry.path().filename().string());
    beside.erase(archive);
    beside.erase(target);
    if (!beside.empty()) {
        std::fprintf(stderr, "written outside the target: %s\n", beside.begin()->c_str());
        std::abort();
    }
    std::error_code ec;
    fs::remove_all(target, ec);
    return 0;
}
