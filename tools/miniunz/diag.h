// Diagnostics: every message goes to stderr, prefixed "miniunz: ".
#pragma once

#include <string>
#include <string_view>

// Writes "miniunz: <formatted message>\n" to stderr with one write, so that
// messages from several processes sharing stderr do not interleave.
void complain(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

// Names another program in front of the messages (the first 32 bytes of
// `name`, which must stay valid): the launcher checks archives with this
// library's reader and must not claim that miniunz ran. Set once, before
// any message.
void setComplainingProgram(const char *name);

// Returns `name` in a form that is safe to print: bytes outside printable
// ASCII become \xNN and names longer than 200 bytes are cut, ending in "...".
// Entry names come from the archive and may hold anything.
std::string printableName(std::string_view name);

// Text for a failing zlib result code (Z_DATA_ERROR, ...).
const char *zlibErrorText(int rc);
