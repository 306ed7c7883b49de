# bash completion for kovra: its commands, each command's options, folders and files for its
# paths, and for `kovra undo N` the history's numbers with their dates and folders.

# The history, one run a line as `kovra undo --list` shows it: "N  time  files  state  folders".
_kovra_runs() {
    local cur=$1 line
    local -a runs=()
    while IFS= read -r line; do
        [[ $line == "$cur"* ]] && runs+=("$line")
    done < <("${COMP_WORDS[0]}" undo --list 2>/dev/null)
    if ((${#runs[@]} == 1)); then
        # One run left: the number alone goes on the command line.
        COMPREPLY=("${runs[0]%%[[:space:]]*}")
    else
        COMPREPLY=("${runs[@]}")
    fi
}

# Paths: folders and files, or folders alone with -d; names with blanks kept whole.
_kovra_paths() {
    local cur=$1 folders_only=$2
    if declare -F _filedir >/dev/null; then
        if [[ -n $folders_only ]]; then _filedir -d; else _filedir; fi
        return
    fi
    local IFS=$'\n'
    if [[ -n $folders_only ]]; then
        COMPREPLY=($(compgen -d -- "$cur"))
    else
        COMPREPLY=($(compgen -f -- "$cur"))
    fi
    compopt -o filenames 2>/dev/null
}

_kovra() {
    local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD - 1]}
    local command="" i
    COMPREPLY=()
    for ((i = 1; i < COMP_CWORD; i++)); do
        case ${COMP_WORDS[i]} in
            rename | merge | undo)
                command=${COMP_WORDS[i]}
                break
                ;;
            -*) ;;
            *) break ;;
        esac
    done
    local options
    case $command in
        rename)
            [[ $prev == -j || $prev == --jobs ]] && return
            options="-n --dry-run -r --recursive -v --verbose -a --all --no-undo -j --jobs=
                --progress --no-progress -h --help"
            ;;
        merge)
            options="-n --dry-run -v --verbose -a --all --keep-duplicates --number
                --keep-folders --no-undo --progress --no-progress --window -h --help"
            ;;
        undo)
            [[ $prev == -j || $prev == --jobs ]] && return
            options="-l --list -v --verbose --json -j --jobs= --progress --no-progress -h --help"
            ;;
        *)
            options="-h --help -V --version"
            ;;
    esac
    if [[ $cur == -* ]]; then
        COMPREPLY=($(compgen -W "$options" -- "$cur"))
        [[ ${COMPREPLY[0]} == *= ]] && compopt -o nospace 2>/dev/null
        return
    fi
    case $command in
        rename) _kovra_paths "$cur" ;;
        merge) _kovra_paths "$cur" folders ;;
        undo) _kovra_runs "$cur" ;;
        *)
            # The folder or files the window opens on; first, a command too.
            _kovra_paths "$cur"
            if ((COMP_CWORD == 1)); then
                local words
                mapfile -t words < <(compgen -W "rename merge undo" -- "$cur")
                COMPREPLY=("${words[@]}" "${COMPREPLY[@]}")
            fi
            ;;
    esac
}
complete -F _kovra kovra
