// Permission bits recorded in the archive are restored, without set-id or
// sticky bits; entries without a Unix mode get defaults.
#include "harness.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

namespace {

TEST(MiniunzModes, RestoredFromTheArchive)
{
    Workspace box;
    ZipEntrySpec dosFile = fileEntry("dos.txt", "d", 0700), dosDir = dirEntry("dosdir/", 0700);
    dosFile.unixMode = dosDir.unixMode = false;
    box.pack({
        dirEntry("bin/", 0755),
        fileEntry("bin/tool.sh", "#!/bin/sh\nexit 0\n", 0755),
        fileEntry("deep/er/run.sh", "#!/bin/sh\nexit 0\n", 0750),
        fileEntry("suid", "x", 04755),
        fileEntry("sgid", "x", 02750),
        fileEntry("private", "x", 0600),
        dirEntry("ro/", 0555),
        fileEntry("ro/inside.txt", "x", 0444),
        dirEntry("sticky/", 01777),
        dosFile,
        dosDir,
    });
    // A strict umask must not change what the archive records.
    ProgramResult r = box.unpack(false, ProgramRun{.umask = 077});
    ASSERT_EQ(r.status, 0) << r.err;
    const struct {
        const char *path;
        unsigned mode;
    } expected[] = {
        {"bin", S_IFDIR | 0755},           {"bin/tool.sh", S_IFREG | 0755},    {"deep", S_IFDIR | 0755},
        {"deep/er", S_IFDIR | 0755},       {"deep/er/run.sh", S_IFREG | 0750}, {"suid", S_IFREG | 0755},
        {"sgid", S_IFREG | 0750},          {"private", S_IFREG | 0600},        {"ro", S_IFDIR | 0555},
        {"ro/inside.txt", S_IFREG | 0444}, {"sticky", S_IFDIR | 0777},         {"dos.txt", S_IFREG | 0644},
        {"dosdir", S_IFDIR | 0755},
    };
    for (const auto &e : expected)
        EXPECT_EQ(modeOf(box.out + "/" + e.path), e.mode) << e.path;
    // The script in a subdirectory runs.
    EXPECT_EQ(system((box.out + "/deep/er/run.sh").c_str()), 0);
}

} // namespace
