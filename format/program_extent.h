// How far the program at the start of a package file reaches: a file that
// holds more than its program but no package directory at its end carried a
// package once and was cut short (an interrupted download or copy).
#ifndef FORMAT_PROGRAM_EXTENT_H
#define FORMAT_PROGRAM_EXTENT_H

#include <cstddef>
#include <cstdint>

// The first bytes of a file that programExtent reads; a program whose
// header tables lie beyond them is measured by what lies within.
constexpr std::size_t PROGRAM_HEAD_SIZE = 4096;

// The bytes that a little-endian ELF program (32- or 64-bit) occupies, as its
// header, program headers, segments and section headers say, given its first
// `length` bytes: 0 when they hold no such program.
uint64_t programExtent(const unsigned char *head, std::size_t length);

enum class PackageEnding {
    NotAPackage, // no program, or one with nothing behind it
    CutShort,    // a program with more, or less, than itself
};

// What a file of fileSize bytes that starts with `head` and has no package
// directory at its end is.
PackageEnding judgeMissingDirectory(const unsigned char *head, std::size_t length, uint64_t fileSize);

#endif
