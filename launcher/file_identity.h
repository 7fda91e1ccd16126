// Which file a launch read, in a form it can keep and compare: device,
// inode, size, modification and change times as one line. Equal lines mean
// the same file, untouched in between: a change in place moves its times,
// and a replaced file has another inode.
#ifndef LAUNCHER_FILE_IDENTITY_H
#define LAUNCHER_FILE_IDENTITY_H

#include <string>
#include <sys/stat.h>

std::string fileIdentity(const struct stat &st);

#endif
