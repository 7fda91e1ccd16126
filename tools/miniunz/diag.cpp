#include "diag.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <unistd.h>
#include <zlib.h>

namespace {
constexpr size_t kMaxShownName = 200;
// Longer program names are cut: the message matters more.
constexpr size_t kMaxProgramName = 32;

const char *programName = "miniunz";
} // namespace

void setComplainingProgram(const char *name)
{
    programName = name;
}

void complain(const char *fmt, ...)
{
    char line[1024];
    int prefix = snprintf(line, sizeof line, "%.*s: ", (int)kMaxProgramName, programName);
    size_t used = prefix < 0 ? 0 : (size_t)prefix;
    size_t room = sizeof line - used - 1; // keep one byte for '\n'
    va_list ap;
    va_start(ap, fmt);
    int n = vsnprintf(line + used, room, fmt, ap);
    va_end(ap);
    size_t len = used + (n < 0 ? 0 : (size_t)n < room ? (size_t)n : room - 1);
    line[len++] = '\n';
    // A failed write to stderr leaves nothing better to report to.
    ssize_t ignored = write(STDERR_FILENO, line, len);
    (void)ignored;
}

std::string printableName(std::string_view name)
{
    std::string out;
    size_t shown = name.size() > kMaxShownName ? kMaxShownName : name.size();
    out.reserve(shown + 8);
    for (size_t i = 0; i < shown; i++) {
        unsigned char c = (unsigned char)name[i];
        if (c >= 0x20 && c < 0x7f && c != '\\') {
            out += (char)c;
        } else {
            char hex[5];
            snprintf(hex, sizeof hex, "\\x%02x", c);
            out += hex;
        }
    }
    if (shown < name.size())
        out += "...";
    return out;
}

const char *zlibErrorText(int rc)
{
    switch (rc) {
    case Z_DATA_ERROR: return "damaged compressed data";
    case Z_MEM_ERROR: return "out of memory";
    case Z_STREAM_ERROR: return "compressed stream error";
    case Z_BUF_ERROR: return "compressed data ends early";
    case Z_NEED_DICT: return "the compressed data needs a preset dictionary";
    default: return "unknown error";
    }
}
