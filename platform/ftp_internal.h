// Test seams of the support-file upload. Not part of the platform layer's
// interface: only the platform layer's own tests include this header, so an
// operator can never redirect an upload by accident.
#ifndef PLATFORM_FTP_INTERNAL_H
#define PLATFORM_FTP_INTERNAL_H

// Makes ftpFile upload to hostPort ("host" or "host:port") instead of the
// support server that the build names. Null or the empty text restores the
// support server. A text longer than 255 characters is refused (returns
// false) and leaves the earlier setting in force.
bool ftpUseServerForTesting(const char *hostPort);

// Makes ftpFile try the libraries in names (a null-terminated list, tried in
// order) instead of its own list of libcurl names. The list is not copied:
// it must stay valid until it is replaced. Null restores the own list.
void ftpUseLibrariesForTesting(const char *const *names);

#endif
