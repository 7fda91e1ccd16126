#include "cli.h"

#include <iostream>
#include <malloc.h>
#include <unistd.h>

int main(int argc, char **argv)
{
    // Zipping a tree allocates and frees a buffer or two per entry, up to a
    // few MiB each. glibc would map each large one afresh and hand freed
    // memory back at once, so every entry would fault its pages in again;
    // kept, they are reused.
    mallopt(M_MMAP_THRESHOLD, 32 << 20);
    mallopt(M_TRIM_THRESHOLD, 256 << 20);
    return mkportable::runCli(argc, argv, std::cout, std::cerr, isatty(STDERR_FILENO) == 1);
}
