#pragma once

// Kovra's command line, decided before any window or display is touched. Arguments are bytes:
// no path goes through a QString.

#include <string>
#include <vector>

namespace cli {

// A window can be shown: an X or Wayland display, or a Qt platform chosen on purpose.
bool hasDisplay();

// Why the window the command line asks for cannot be opened.
struct WindowBlock {
    enum class Why { Nothing, NotACommand, CannotOpen, SeveralFolders, NoDisplay };
    Why why = Why::Nothing;
    std::string path;                  // NotACommand, CannotOpen: the path
    int error = 0;                     // CannotOpen: the errno
    std::vector<std::string> folders;  // SeveralFolders: where the paths lie
};
// Checked before any window: every path exists, all of them open one folder, and a display is
// there to show it on.
WindowBlock windowBlock(int argc, char* argv[]);

// Whether the command line is no command and no option, only paths (or nothing).
bool asksForWindow(int argc, char* argv[]);

// Whether the command line asks for the window and it can open: no arguments, or only paths
// (after "--" if one starts with "-"), the first of them existing, and a display to show it on.
// Commands, options and a window that cannot open are answered by `run` instead.
bool wantsWindow(int argc, char* argv[]);

// The window's paths from the command line, made absolute: the folder part canonical, so that
// the name put in front of the files is the folder's own. Empty: the working directory.
std::vector<std::string> windowPaths(int argc, char* argv[]);

// Runs a command line that does not want the window, without a display; returns the exit status.
int run(int argc, char* argv[]);

// The window program, which `kovra` starts in its own place for whatever needs a window, so that
// commands never load a GUI library: `kovra-window LAUNCHER MODE [ARG...]`, LAUNCHER being the
// program file of the `kovra` that started it (as launcherWord gives it).
namespace window {
inline constexpr char kMain[] = "main";                       // PATH...: the main window
inline constexpr char kMerge[] = "merge";                     // SOURCE...: the merge window
inline constexpr char kCannotOpen[] = "cannot-open";          // PATH ERRNO: refused in a box
inline constexpr char kSeveralFolders[] = "several-folders";  // FOLDER...: refused in a box
// STATUS: a command that failed with STATUS, what it said read from standard input, in a box.
inline constexpr char kFailed[] = "failed";
}  // namespace window

// The program's own files that runs keep besides the running one: for `kovra`, the window
// program it would start; for the window program, the launcher that started it, told by the
// word `kovra` gives it (DEVICE:INODE:PATH, so that it is known by identity).
void keepWindowProgram();
void keepLauncher(const std::string& word);

// Starts the window program in place of this process, in `mode` with `args`; `argv0` stays the
// program's name. Returns only when it cannot be started: the exit status, the failure said.
int startWindow(char* argv0, const char* mode, const std::vector<std::string>& args);

}  // namespace cli
