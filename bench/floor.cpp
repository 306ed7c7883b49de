// The floor as a program of its own, timed from outside as the command line is:
//   kovra_floor flat FOLDER    its files renamed, one renameat2 each
//   kovra_floor tree FOLDER    the same in it and every subfolder, folder after folder
//   kovra_floor back FOLDER    the files flat renamed, renamed back (the floor of an undo)
//   kovra_floor treeback FOLDER  the same over the tree

#include <cstdio>
#include <string>

#include "floor.h"

int main(int argc, char* argv[]) {
    const std::string mode = argc == 3 ? argv[1] : "";
    if ((mode != "flat" && mode != "tree" && mode != "back" && mode != "treeback") ||
        argv[2][0] != '/') {
        std::fprintf(stderr, "usage: kovra_floor flat|tree|back|treeback /FOLDER\n");
        return 2;
    }
    bare::run(argv[2], mode == "tree" || mode == "treeback", mode == "back" || mode == "treeback");
    return 0;
}
