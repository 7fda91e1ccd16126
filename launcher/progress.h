// The progress switch: whether the launcher announces its steps.
#ifndef LAUNCHER_PROGRESS_H
#define LAUNCHER_PROGRESS_H

// True when QUARN_PORTABLE_QUIET is set (even empty): the progress lines
// ("Extracting...", "Executing...") are left out, failures still speak.
bool quietProgress();

#endif
