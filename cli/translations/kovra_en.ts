<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="en">
<context>
    <name>cli</name>
    <message>
        <source>
Exit status:
  0  every file was renamed (by undo: renamed back)
  1  the run stopped at a failure: the file, its new name and the reason are printed;
     also when undo finds no run to undo, and when the output cannot be written
  2  wrong usage, a path that cannot be opened, or no display for the window:
     nothing was renamed
</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Try &quot;%1 --help&quot; for more information.
</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>unknown option %1</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>rename needs at least one PATH</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>%1: no such file or folder, and not a command</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>%1: cannot open %2: %3
</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>%1: there is no display to open the window on (neither DISPLAY nor WAYLAND_DISPLAY is set).
To rename without the window: %1 rename PATH...
Try &quot;%1 --help&quot; for more information.
</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>%1: cannot write the output: %2
</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>%1: cannot start the window program %2: %3
</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>the drive has no rename that cannot replace a file</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>%1: %2: the root folder has no name to put in front of its files
</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>%1: cannot rename %2 to %3: %4
</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>%1: the renames in %2 were made but may not survive a power cut: %3
</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>%1: nothing renamed: the run could not be recorded for undo in %2: %3
</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>%1: stopped at the folder %2: %3
</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>%1: the folder of the last run, %2, is gone; nothing was changed
</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>%1: cannot read the folder of the last run, %2: %3; nothing was changed
</source>
        <translation type="unfinished"></translation>
    </message>
    <message numerus="yes">
        <source>%n files renamed back</source>
        <translation>
            <numerusform>%n file renamed back</numerusform>
            <numerusform>%n files renamed back</numerusform>
        </translation>
    </message>
    <message>
        <source>the file was changed, moved or removed</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>a file or folder has the old name now</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>its folder is gone, or is another folder now</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>cannot read its folder: %1</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>%1: cannot rename %2 back to %3: %4
</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>a file or folder with the new name exists</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>no such file or folder</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>not a folder</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>permission denied</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>read-only file system</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>the name is too long</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>no space left on the drive</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>the file is in use</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>input/output error</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>the drive does not accept this name</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>a symbolic link where a folder was expected</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>the folder changed while it was being worked on</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>undo --list takes no other arguments</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>undo takes at most one number</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>undo takes the number of a run, as undo --list shows it</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>done</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>cut short</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>cut short, left so</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>undone</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>in progress</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>damaged</source>
        <translation type="unfinished"></translation>
    </message>
    <message numerus="yes">
        <source>%n files</source>
        <translation type="vanished">
            <numerusform>%n file</numerusform>
            <numerusform>%n files</numerusform>
        </translation>
    </message>
    <message>
        <source>%1: there is no run %2 in the history
</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>%1: that run is still in progress, or being undone; nothing was changed
</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>%1: the drive of %2 (%3) is not connected; nothing was changed, and the run can be undone once it is
</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>%1: the record of the run is damaged or unreadable; nothing was changed, and the record was kept as %2
</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>its drive is not connected</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>%1: the window opens one folder, and these paths lie in several:
</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>To rename files of several folders: %1 rename PATH...
</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>-j takes how many folders at once, from 1 to 256</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>%1: nothing more renamed in %2: the run could not be recorded for undo in %3: %4
</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>%1: each folder as the run left it:
</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>  done: %1
</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>  stopped at %1: %2
</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>  stopped before %1: it could not be recorded
</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>  stopped before %1: a failure elsewhere
</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>  not started: %1
</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>merge needs at least one SOURCE and a DEST</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>%1 holds other content</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>the same as %1, kept</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>hidden (its name begins with &quot;.&quot;)</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>a link to a folder</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>the same as %1, and cannot go to the Trash: %2</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>cannot be moved to %1: %2</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>%1 -&gt; the Trash (the same as %2)
</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>%1: left: %2
</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>%1 -&gt; the Trash
</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>%1: nothing moved: the merge could not be recorded for undo in %2: %3
</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>%1: the moves into %2 were made but may not survive a power cut: %3
</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>%1: %2: %3
</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>the destination is not a folder</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>a source cannot be the destination itself</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>the root folder has no name to put in front of its files</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>the file is in the destination already</source>
        <translation type="unfinished"></translation>
    </message>
    <message numerus="yes">
        <source>%n files moved back</source>
        <translation>
            <numerusform>%n file moved back</numerusform>
            <numerusform>%n files moved back</numerusform>
        </translation>
    </message>
    <message>
        <source>%1: cannot move %2 back to %3: %4
</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Move every file of the SOURCE folders, at any depth, into DEST (made if absent),
each named after the folder it lay in: /pics/cats/a.jpg becomes DEST/cats_a.jpg;
a name that begins with its folder&apos;s name and &quot;_&quot; keeps it. A SOURCE that is a
file moves that file; a SOURCE that is a link to a folder is never followed, with
or without a slash after it: it stays, and is named. An existing file is never
replaced: a file whose new name holds the same content goes to the Trash, one
whose new name holds other content stays where it is. Emptied folders are
removed. A file copied to another drive keeps its times, mode, extended
attributes and ACL where that drive can hold them; what it cannot is named.
&quot;%1 undo&quot; takes the whole merge back.
  -n, --dry-run        print each move as &quot;old -&gt; new&quot;, each duplicate that would
                       go to the Trash, and each file that would stay, with why,
                       as the merge would find it; change nothing
  -v, --verbose        print each move as it is made
  -a, --all            also hidden files and folders
      --keep-duplicates  leave duplicates where they are, not in the Trash
      --number         move a file whose new name holds other content as
                       &quot;name (2).ext&quot;, with the first free number
      --keep-folders   keep the emptied folders
      --name-from=WHICH  which folders a new name carries: &quot;folder&quot; the one
                       the file lay in (the default); &quot;source&quot; the SOURCE
                       folder, however deep the file lay: card1/DCIM/100CANON/
                       IMG_1.JPG becomes DEST/card1_IMG_1.JPG; &quot;path&quot; every
                       folder from the SOURCE down: card1_DCIM_100CANON_IMG_1.JPG
      --dedupe[=KEEP]  keep each content once, whatever its name: of files of
                       equal bytes among the SOURCEs and DEST, DEST&apos;s are kept, else
                       one (KEEP &quot;first&quot;: the first SOURCE&apos;s, the default;
                       &quot;oldest&quot; or &quot;newest&quot; by modification time); the others go
                       to the Trash. Empty files are never duplicates
      --no-undo        keep no record of the merge
  -h, --help           show this help and exit
Exit status: 0 every file was moved, or put in the Trash as a duplicate (hidden
files and links to folders inside the SOURCE folders stay by design, and do not
count); 1 some files stayed where they were, each named on standard error with
why, or a failure stopped the merge; 2 wrong usage or a path that cannot be
opened: nothing was moved.
</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Put the name of its folder in front of each file&apos;s name: /pics/cats/a.jpg becomes /pics/cats/cats_a.jpg.
An existing file is never replaced.

Without a command, the window opens: on FOLDER, or on the folder of the FILEs with them selected.

Commands:
  rename PATH...        rename the files named, and every file of each folder named
  merge SOURCE... DEST  move every file of the SOURCE folders into DEST, each named
                        after the folder it lay in
  undo [N]              take back the last run, or run N of the history
  undo --list           show the history of runs, newest first

Options:
  -h, --help       show this help and exit; after a command, that command&apos;s own
  -V, --version    show the version and exit

Options of rename:
  -n, --dry-run    print each rename as &quot;old -&gt; new&quot; and change nothing
  -r, --recursive  rename in every subfolder too, each file with its own folder&apos;s name;
                   a symbolic link to a folder is never followed
  -v, --verbose    print each rename as &quot;old -&gt; new&quot; as it is made
  -a, --all        also the names beginning with &quot;.&quot; in the folders named, and hidden
                   subfolders; left out otherwise, since the prefix would unhide them
      --no-undo    keep no record of the run: faster over many folders, but undo
                   cannot take it back
  -j, --jobs=N     rename in N folders at once, each in its own order (by default one
                   per core, four per core on network and FUSE drives); undo takes
                   it too

Names that are not printable are shown escaped (\xff, \n), one rename per line.
</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Usage: %1 merge [OPTION...] SOURCE... DEST
</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>
Exit status:
  0  every file was put back
  1  there is no run to undo, or a file could not be put back
  2  wrong usage
</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>a link to a folder: name the folder itself</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>its new name %1 is too long for the destination&apos;s drive</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>its folder cannot be changed: %1</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>the destination cannot be written in: %1</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>a pipe, socket or device, which cannot be copied to another drive</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>the same as %1, and its drive has no Trash to take it</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>the same as %1, and its name is too long for the Trash</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>the running program&apos;s own file</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>it was changed while it was being copied; its copy was removed</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>another user&apos;s file, in a shared folder where only its owner may move it</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>its extended attributes and its ACL</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>its ACL</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>its extended attributes</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>%1: moved without %2, which its drive cannot hold
</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>
Merge (%1 merge [OPTION...] SOURCE... DEST):

</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>
Undo (%1 undo [-j N] [N], %1 undo --list):

</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Usage: %1 [FOLDER | FILE...]
  or:  %1 rename [OPTION...] PATH...
  or:  %1 merge [OPTION...] SOURCE... DEST
  or:  %1 undo [-j N] [N]
  or:  %1 undo --list [-v]
</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Usage: %1 undo [-j N] [N]
  or:  %1 undo --list [-v]
</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>-v goes with undo --list</source>
        <translation type="unfinished"></translation>
    </message>
    <message numerus="yes">
        <source>%1 and %n more</source>
        <translation>
            <numerusform>%1 and %n more</numerusform>
            <numerusform>%1 and %n more</numerusform>
        </translation>
    </message>
    <message>
        <source>Take back a run, a rename or a merge, in every folder it changed: each file goes
back to its old name and folder where its new name still holds the file it was
given to. Anything changed since is left alone and named; a file that cannot
be reached now is left for a later undo, and the run stays partly undone.
Without N: the most recent run that is neither in progress nor undone (none
while the newest is in progress); with N: run N of the history.
  -l, --list     show the history of runs, newest first: number, time, files,
                 state, the first folder and how many more
  -v, --verbose  with --list: every folder of each run
  -j, --jobs=N   undo in N folders at once (by default one per core, four per
                 core on network and FUSE drives)
  -h, --help     show this help and exit
</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>the drive %1 (%2) has no rename that cannot replace a file</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>the drive %1 (%2) sends what is written to its server only later, so a rename there could empty a file; mount it without a write cache (for rclone: --vfs-cache-mode off or minimal)</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>the drive %1 does not answer (its server stopped or the connection to it broke)</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>%1: skipped the run of %2 in %3: it cannot be undone now (%4)
</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>%1: stopped before %2, as asked
</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>%1: stopped by the user; &quot;%1 undo&quot; takes back what was renamed
</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>%1: the drive %2 has not answered for %3 seconds; waiting for it (Ctrl+C stops between two files)
</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>%1: the drive may still have made it: %2 may now also, or only, be named %3; the run is left cut short, and &quot;%1 undo&quot; takes it back once the drive answers
</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>stopped by the user</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>cut short, its drive (%1) not connected</source>
        <translation type="unfinished"></translation>
    </message>
    <message numerus="yes">
        <source>partly undone, %n of %1 back</source>
        <translation>
            <numerusform>partly undone, %n of %1 back</numerusform>
            <numerusform>partly undone, %n of %1 back</numerusform>
        </translation>
    </message>
    <message numerus="yes">
        <source>%n files moved</source>
        <translation>
            <numerusform>%n file moved</numerusform>
            <numerusform>%n files moved</numerusform>
        </translation>
    </message>
    <message numerus="yes">
        <source>%n files planned</source>
        <translation>
            <numerusform>%n file planned</numerusform>
            <numerusform>%n files planned</numerusform>
        </translation>
    </message>
    <message numerus="yes">
        <source>, %n left</source>
        <translation>
            <numerusform>, %n left</numerusform>
            <numerusform>, %n left</numerusform>
        </translation>
    </message>
    <message numerus="yes">
        <source>%n files renamed</source>
        <translation>
            <numerusform>%n file renamed</numerusform>
            <numerusform>%n files renamed</numerusform>
        </translation>
    </message>
    <message>
        <source>%1: the newest run, in %2, is still in progress; nothing was undone
</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>%1: there is no run to undo
</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>%1: that run was undone already; nothing was changed
</source>
        <translation type="unfinished"></translation>
    </message>
    <message numerus="yes">
        <source>, %n of them out of the Trash</source>
        <translation>
            <numerusform>, %n of them out of the Trash</numerusform>
            <numerusform>, %n of them out of the Trash</numerusform>
        </translation>
    </message>
    <message numerus="yes">
        <source>%1: %n files cannot be reached now; they are left for a later undo
</source>
        <translation>
            <numerusform>%1: %n file cannot be reached now; it is left for a later undo
</numerusform>
            <numerusform>%1: %n files cannot be reached now; they are left for a later undo
</numerusform>
        </translation>
    </message>
    <message>
        <source>it cannot be reached now: %1</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>--name-from takes folder, source or path</source>
        <translation type="unfinished"></translation>
    </message>
    <message numerus="yes">
        <source>%1: %n files clash only because folders of one name lie in different places; --name-from=%2 parts them
</source>
        <translation>
            <numerusform>%1: %n file clashes only because folders of one name lie in different places; --name-from=%2 parts them
</numerusform>
            <numerusform>%1: %n files clash only because folders of one name lie in different places; --name-from=%2 parts them
</numerusform>
        </translation>
    </message>
    <message>
        <source>--dedupe takes first, oldest or newest</source>
        <translation type="unfinished"></translation>
    </message>
</context>
</TS>
