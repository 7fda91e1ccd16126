// Platform identification with its inputs made explicit, so that tests can
// hand in the uname commands and the release files of a machine of their
// choosing.
#ifndef PLATFORM_PFMINFO_INTERNAL_H
#define PLATFORM_PFMINFO_INTERNAL_H

#include "osspecific.h"

struct PfmSources {
    const char *unameHardware; // prints the hardware-platform name
    const char *unameMachine;  // asked only when the first prints "unknown"
    const char *redhatRelease;
    const char *suseRelease;
    const char *osRelease; // read only when neither legacy file exists
};

// The machine's own sources: "uname -i", "uname -m" and the files in /etc.
const PfmSources &systemPfmSources();

const char *getPfmInfoFrom(PlatformInfo *info, const PfmSources &sources);

// Architecture code for a "uname -i" name: 0 when it is none of ours.
int32_t classifyHardwareName(const char *name);

// Architecture code for a "uname -m" name: 0 when it is none of ours.
int32_t classifyMachineName(const char *name);

// The platform name at the start of raw uname output: the bytes before the
// first one that, read as a signed byte, is 32 or less. Cut in place.
void cutPlatformName(char *text);

// The release number that follows token in text, as the release files write
// it; false when the token does not occur.
bool parseReleaseNumber(const char *text, const char *token, int32_t *release);

// Distribution and major release from the text of an os-release file: the
// distribution of its ID, else of the first word of ID_LIKE that names one;
// false when neither does. release is the major of VERSION_ID, and stays -1
// without one.
bool parseOsRelease(const char *text, int32_t *distribution, int32_t *release);

#endif
