#include "textbuf.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

bool textFormat(char *buf, std::size_t cap, const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    bool fits = textFormatV(buf, cap, fmt, ap);
    va_end(ap);
    return fits;
}

bool textFormatV(char *buf, std::size_t cap, const char *fmt, va_list ap)
{
    if (cap == 0)
        return false;
    int n = std::vsnprintf(buf, cap, fmt, ap);
    if (n < 0 || static_cast<std::size_t>(n) >= cap) {
        buf[0] = '\0';
        return false;
    }
    return true;
}

bool textAppend(char *buf, std::size_t cap, const char *text)
{
    std::size_t used = strnlen(buf, cap);
    std::size_t add = std::strlen(text);
    if (used >= cap || add >= cap - used)
        return false;
    std::memcpy(buf + used, text, add + 1);
    return true;
}

bool textCopy(char *buf, std::size_t cap, const char *text)
{
    if (cap == 0)
        return false;
    buf[0] = '\0';
    return textAppend(buf, cap, text);
}
