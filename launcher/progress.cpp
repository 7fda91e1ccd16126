// The progress switch, read from the environment and the package settings
// each time it is asked.
#include "progress.h"

#include "launch_settings.h"

#include <cstdlib>

bool quietProgress()
{
    return std::getenv("QUARN_PORTABLE_QUIET") != nullptr;
}

FILE *progressStream()
{
    if (quietProgress() || launchSettings.progress == PROGRESS_NONE)
        return nullptr;
    return launchSettings.progress == PROGRESS_STDERR ? stderr : stdout;
}

FILE *remarkStream()
{
    return launchSettings.progress == PROGRESS_STDOUT ? stdout : stderr;
}
