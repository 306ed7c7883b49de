// The floor as a program of its own, timed from outside as the command line is:
//   kovra_floor flat FOLDER    its files renamed, one renameat2 each
//   kovra_floor tree FOLDER    the same in it and every subfolder, folder after folder

#include <cstdio>
#include <cstring>

#include "floor.h"

int main(int argc, char* argv[]) {
    if (argc != 3 || (std::strcmp(argv[1], "flat") != 0 && std::strcmp(argv[1], "tree") != 0) ||
        argv[2][0] != '/') {
        std::fprintf(stderr, "usage: kovra_floor flat|tree /FOLDER\n");
        return 2;
    }
    bare::run(argv[2], std::strcmp(argv[1], "tree") == 0);
    return 0;
}
