#!/usr/bin/env bash
# Formats the C++ sources with clang-format (.clang-format), and nothing else: clang-format takes
# any other file for C++ too, and would run a README's paragraphs and tables or a CMake list
# together. Usage: scripts/format.sh [FILE...] (by default every .cpp and .h file of the tree).
set -euo pipefail
cd "$(dirname "$0")/.."
files=()
if [ $# -gt 0 ]; then
    for file in "$@"; do
        case $file in
            *.cpp | *.h) files+=("$file") ;;
            *) echo "format: left alone (not C++): $file" >&2 ;;
        esac
    done
else
    mapfile -t files < <(git ls-files '*.cpp' '*.h')
fi
[ ${#files[@]} -eq 0 ] || clang-format -i "${files[@]}"
