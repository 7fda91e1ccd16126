#include "cli.h"

#include <iostream>

int main(int argc, char **argv)
{
    return mkportable::runCli(argc, argv, std::cout, std::cerr);
}
