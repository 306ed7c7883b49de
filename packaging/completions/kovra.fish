# fish completion for kovra: its commands, each command's options, folders and files for its
# paths, and for `kovra undo N` the history's numbers with their dates and folders.

set -l commands rename merge undo

# The history's runs as `kovra undo --list` shows them: the number, then what it was.
function __kovra_runs
    kovra undo --list 2>/dev/null | string replace -r '^(\d+)  (.*)$' '$1\t$2'
end

complete -c kovra -n "not __fish_seen_subcommand_from $commands" -a rename -d "Put the folder's name in front of each file"
complete -c kovra -n "not __fish_seen_subcommand_from $commands" -a merge -d 'Move the files of folders into one'
complete -c kovra -n "not __fish_seen_subcommand_from $commands" -a undo -f -d 'Take back a run'
complete -c kovra -n "not __fish_seen_subcommand_from $commands" -s V -l version -d 'Show the version'
complete -c kovra -s h -l help -d 'Show the help'

complete -c kovra -n "__fish_seen_subcommand_from $commands" -l progress -d 'Draw the progress line even off a terminal'
complete -c kovra -n "__fish_seen_subcommand_from $commands" -l no-progress -d 'Never draw the progress line'

complete -c kovra -n '__fish_seen_subcommand_from rename merge' -s n -l dry-run -d 'Print what would be done, change nothing'
complete -c kovra -n '__fish_seen_subcommand_from rename merge' -s a -l all -d 'Also hidden files and folders'
complete -c kovra -n '__fish_seen_subcommand_from rename merge' -l no-undo -d 'Keep no record of the run'
complete -c kovra -n '__fish_seen_subcommand_from rename merge undo' -s v -l verbose -d 'Print each file, or every folder with --list'
complete -c kovra -n '__fish_seen_subcommand_from rename' -s r -l recursive -d 'Every subfolder too'
complete -c kovra -n '__fish_seen_subcommand_from rename undo' -s j -l jobs -x -d 'Folders at once'

complete -c kovra -n '__fish_seen_subcommand_from merge' -l keep-duplicates -d 'Leave duplicates where they are'
complete -c kovra -n '__fish_seen_subcommand_from merge' -l number -d 'Move a file whose name is taken as "name (2).ext"'
complete -c kovra -n '__fish_seen_subcommand_from merge' -l keep-folders -d 'Keep the emptied folders'
complete -c kovra -n '__fish_seen_subcommand_from merge' -l window -d 'Choose in the merge window'
complete -c kovra -n '__fish_seen_subcommand_from merge' -x -a '(__fish_complete_directories)'

complete -c kovra -n '__fish_seen_subcommand_from undo' -f -a '(__kovra_runs)'
complete -c kovra -n '__fish_seen_subcommand_from undo' -s l -l list -d 'Show the history of runs'
complete -c kovra -n '__fish_seen_subcommand_from undo' -l json -d 'With --list: one JSON object per run'
