// Bounded formatting and appending into fixed-size character buffers.
//
// Every fixed buffer of the launcher and the platform layer is filled through
// these helpers, so that no caller improvises its own truncation rule.
#ifndef PLATFORM_TEXTBUF_H
#define PLATFORM_TEXTBUF_H

#include <cstdarg>
#include <cstddef>

// Formats into buf (capacity cap bytes, terminator included). Returns true
// when the whole text fit. When it does not fit, buf holds the empty text:
// a half-formatted path or command must never be used by accident.
bool textFormat(char *buf, std::size_t cap, const char *fmt, ...) __attribute__((format(printf, 3, 4)));

bool textFormatV(char *buf, std::size_t cap, const char *fmt, va_list ap) __attribute__((format(printf, 3, 0)));

// Appends text to the NUL-terminated contents of buf. Returns true when all
// of it fit; otherwise buf is left exactly as it was.
bool textAppend(char *buf, std::size_t cap, const char *text);

// Copies text into buf. Returns true when it fit; otherwise buf holds the
// empty text.
bool textCopy(char *buf, std::size_t cap, const char *text);

#endif
