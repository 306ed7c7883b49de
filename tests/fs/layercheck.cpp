// Uses the core and the file-system layer and nothing else: its link must hold no Qt.

#include <cstdio>

#include "core/naming.h"
#include "fs/journal/recorder.h"
#include "fs/listing.h"
#include "fs/mounts.h"
#include "fs/plainfilelist.h"
#include "fs/rename.h"

int main() {
    fs::PlainFileList files("/");
    fs::PosixFileSystem fileSystem;
    std::printf("%s %zu %zu %d\n", core::prefixedName("/pics/cats", "a.jpg").c_str(),
                fs::mountedDrives().size(), fs::stateDirectory().size(), files.error());
    return fileSystem.open("/").folder ? 0 : 1;
}
