// The progress switch, read from the environment each time it is asked.
#include "progress.h"

#include <cstdlib>

bool quietProgress()
{
    return std::getenv("QUARN_PORTABLE_QUIET") != nullptr;
}
