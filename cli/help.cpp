#include "cli/help.h"

#include <QtGlobal>

#include "cli/text.h"
#include "core/version.h"

namespace cli {

namespace {

std::string mergeHelpBody() {
    return message(
        QT_TRANSLATE_NOOP(
            "cli",
            "Move every file of the SOURCE folders, at any depth, into DEST (made if absent),\n"
            "each named after the folder it lay in: /pics/cats/a.jpg becomes DEST/cats_a.jpg;\n"
            "a name that begins with its folder's name and \"_\" keeps it. A SOURCE that is a\n"
            "file moves that file; a SOURCE that is a link to a folder is never followed, with\n"
            "or without a slash after it: it stays, and is named. An existing file is never\n"
            "replaced: a file whose new name holds the same content goes to the Trash, one\n"
            "whose new name holds other content stays where it is. Emptied folders are\n"
            "removed. A file copied to another drive keeps its times, mode, extended\n"
            "attributes and ACL where that drive can hold them; what it cannot is named.\n"
            "\"%1 undo\" takes the whole merge back.\n"
            "  -n, --dry-run        print each move as \"old -> new\", each duplicate that would\n"
            "                       go to the Trash, and each file that would stay, with why,\n"
            "                       as the merge would find it; change nothing\n"
            "  -v, --verbose        print each move as it is made\n"
            "  -a, --all            also hidden files and folders\n"
            "      --keep-duplicates  leave duplicates where they are, not in the Trash\n"
            "      --number         move a file whose new name holds other content as\n"
            "                       \"name (2).ext\", with the first free number\n"
            "      --keep-folders   keep the emptied folders\n"
            "      --name-from=WHICH  which folders a new name carries: \"folder\" the one\n"
            "                       the file lay in (the default); \"source\" the SOURCE\n"
            "                       folder, however deep the file lay: card1/DCIM/100CANON/\n"
            "                       IMG_1.JPG becomes DEST/card1_IMG_1.JPG; \"path\" every\n"
            "                       folder from the SOURCE down: card1_DCIM_100CANON_IMG_1.JPG\n"
            "      --dedupe[=KEEP]  keep each content once, whatever its name: of files of\n"
            "                       equal bytes among the SOURCEs and DEST, DEST's are kept, else\n"
            "                       one (KEEP \"first\": the first SOURCE's, the default;\n"
            "                       \"oldest\" or \"newest\" by modification time); the others go\n"
            "                       to the Trash. Empty files are never duplicates\n"
            "      --no-undo        keep no record of the merge\n"
            "  -h, --help           show this help and exit\n"
            "Exit status: 0 every file was moved, or put in the Trash as a duplicate (hidden\n"
            "files and links to folders inside the SOURCE folders stay by design, and do not\n"
            "count); 1 some files stayed where they were, each named on standard error with\n"
            "why, or a failure stopped the merge; 2 wrong usage or a path that cannot be\n"
            "opened: nothing was moved.\n"),
        {"kovra"});
}

// What undo does and its options, after its usage lines.

std::string undoHelpBody() {
    return message(QT_TRANSLATE_NOOP("cli",
                                     "Take back a run, a rename or a merge, in every folder it "
                                     "changed: each file goes\n"
                                     "back to its old name and folder where its new name still "
                                     "holds the file it was\n"
                                     "given to. Anything changed since is left alone and named; "
                                     "a file that cannot\n"
                                     "be reached now is left for a later undo, and the run "
                                     "stays partly undone.\n"
                                     "Without N: the most recent run that is neither in progress "
                                     "nor undone (none\n"
                                     "while the newest is in progress); with N: run N of the "
                                     "history.\n"
                                     "  -l, --list     show the history of runs, newest first: "
                                     "number, time, files,\n"
                                     "                 state, the first folder and how many "
                                     "more\n"
                                     "  -v, --verbose  with --list: every folder of each run\n"
                                     "  -j, --jobs=N   undo in N folders at once (by default one "
                                     "per core, four per\n"
                                     "                 core on network and FUSE drives)\n"
                                     "  -h, --help     show this help and exit\n"),
                   {"kovra"});
}

std::string undoUsage() {
    return message(QT_TRANSLATE_NOOP("cli",
                                     "Usage: %1 undo [-j N] [N]\n"
                                     "  or:  %1 undo --list [-v] [--json]\n"),
                   {"kovra"});
}

// The options rename, merge and undo share for the line that shows their progress.
std::string progressHelp() {
    return message(QT_TRANSLATE_NOOP(
        "cli",
        "      --progress     draw the progress line on standard error even when it is not a\n"
        "                     terminal\n"
        "      --no-progress  never draw it; by default a run on a terminal draws it once it\n"
        "                     has lasted a second: files done of all, the rate, the time\n"
        "                     left, the folder\n"));
}

// What file managers start: a failure shown in a box, and the merge window.
std::string fileManagerHelp() {
    return message(QT_TRANSLATE_NOOP(
        "cli",
        "\n"
        "For file managers:\n"
        "  rename --notify PATH...   rename as above, and show a failure in a box as well\n"
        "  merge --window SOURCE...  open the merge window, the SOURCE folders checked and\n"
        "                            their parent as the destination\n"));
}

std::string jsonHelp() {
    return message(QT_TRANSLATE_NOOP(
        "cli",
        "      --json     with --list: one JSON object per run and line, for scripts: number,\n"
        "                 time, kind (rename, merge), state (done, stopped, cut-short,\n"
        "                 cut-short-drive-absent, cut-short-left, partly-undone, undone,\n"
        "                 in-progress, damaged), files, changed, back, folders, and a\n"
        "                 merge's destination\n"));
}

}  // namespace

void printVersion() {
    const core::VersionNumbers v = core::kProgramVersion;
    writeOut("kovra " + std::to_string(v.majorVersion) + "." + std::to_string(v.minorVersion) +
             "." + std::to_string(v.revision) + "\n");
}

std::string usage() {
    return message(QT_TRANSLATE_NOOP("cli",
                                     "Usage: %1 [FOLDER | FILE...]\n"
                                     "  or:  %1 rename [OPTION...] PATH...\n"
                                     "  or:  %1 merge [OPTION...] SOURCE... DEST\n"
                                     "  or:  %1 undo [-j N] [N]\n"
                                     "  or:  %1 undo --list [-v] [--json]\n"),
                   {"kovra"});
}

// The merge's options and what it does, after its usage line.

void printHelp() {
    writeOut(usage());
    writeOut(message(QT_TRANSLATE_NOOP(
        "cli",
        "Put the name of its folder in front of each file's name: /pics/cats/a.jpg becomes "
        "/pics/cats/cats_a.jpg.\n"
        "An existing file is never replaced.\n"
        "\n"
        "Without a command, the window opens: on FOLDER, or on the folder of the FILEs with them "
        "selected.\n"
        "\n"
        "Commands:\n"
        "  rename PATH...        rename the files named, and every file of each folder named\n"
        "  merge SOURCE... DEST  move every file of the SOURCE folders into DEST, each named\n"
        "                        after the folder it lay in\n"
        "  undo [N]              take back the last run, or run N of the history\n"
        "  undo --list           show the history of runs, newest first\n"
        "\n"
        "Options:\n"
        "  -h, --help       show this help and exit; after a command, that command's own\n"
        "  -V, --version    show the version and exit\n"
        "\n"
        "Options of rename:\n"
        "  -n, --dry-run    print each rename as \"old -> new\" and change nothing\n"
        "  -r, --recursive  rename in every subfolder too, each file with its own folder's name;\n"
        "                   a symbolic link to a folder is never followed\n"
        "  -v, --verbose    print each rename as \"old -> new\" as it is made\n"
        "  -a, --all        also the names beginning with \".\" in the folders named, and hidden\n"
        "                   subfolders; left out otherwise, since the prefix would unhide them\n"
        "      --no-undo    keep no record of the run: faster over many folders, but undo\n"
        "                   cannot take it back\n"
        "  -j, --jobs=N     rename in N folders at once, each in its own order (by default one\n"
        "                   per core, four per core on network and FUSE drives); undo takes\n"
        "                   it too\n"
        "\n"
        "Names that are not printable are shown escaped (\\xff, \\n), one rename per line.\n")));
    writeOut(message(QT_TRANSLATE_NOOP("cli", "\nOptions of rename, merge and undo:\n")) +
             progressHelp() + fileManagerHelp());
    writeOut(message(QT_TRANSLATE_NOOP("cli", "\nMerge (%1 merge [OPTION...] SOURCE... DEST):\n\n"),
                     {"kovra"}) +
             mergeHelpBody());
    writeOut(message(QT_TRANSLATE_NOOP("cli", "\nUndo (%1 undo [-j N] [N], %1 undo --list):\n\n"),
                     {"kovra"}) +
             undoHelpBody() + jsonHelp());
    writeOut(message(QT_TRANSLATE_NOOP(
        "cli",
        "\n"
        "Exit status:\n"
        "  0  every file was renamed (by undo: renamed back)\n"
        "  1  the run stopped at a failure: the file, its new name and the reason are printed;\n"
        "     also when undo finds no run to undo, and when the output cannot be written\n"
        "  2  wrong usage, a path that cannot be opened, or no display for the window:\n"
        "     nothing was renamed\n")));
}

void printMergeHelp() {
    writeOut(message(QT_TRANSLATE_NOOP("cli", "Usage: %1 merge [OPTION...] SOURCE... DEST\n"),
                     {"kovra"}) +
             mergeHelpBody() + progressHelp() + fileManagerHelp());
}

void printUndoHelp() {
    writeOut(undoUsage() + undoHelpBody() + jsonHelp() + progressHelp() +
             message(QT_TRANSLATE_NOOP("cli",
                                       "\n"
                                       "Exit status:\n"
                                       "  0  every file was put back\n"
                                       "  1  there is no run to undo, or a file could not be "
                                       "put back\n"
                                       "  2  wrong usage\n")));
}

}  // namespace cli
