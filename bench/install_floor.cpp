// The floor of installing a package, as a program of its own that
// bench/compare.sh measures beside the installer:
//   install_floor PACKAGE DIRECTORY
// writes the package's files below DIRECTORY (see floor.h).
#include <cstdio>
#include <string>

#include "floor.h"

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: install_floor PACKAGE DIRECTORY\n");
        return 2;
    }
    return install_floor(argv[1], std::string(argv[2]) + "/") ? 0 : 1;
}
