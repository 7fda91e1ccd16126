// miniunz entry point; the work is in miniunz_core.
#include "cli.h"

int main(int argc, char **argv)
{
    return miniunzMain(argc, argv);
}
