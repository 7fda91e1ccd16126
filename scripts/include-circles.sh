#!/bin/sh
# Include circles among the files of one folder (default: launcher/).
# Each file counts as its unit (name.h and name.cpp are one); a unit that
# includes a header of the folder depends on that header's unit. tsort then
# finds any circle: status 1 with the units on it, 0 when there is none.
dir=${1:-launcher}
edges=$(
    for f in "$dir"/*.h "$dir"/*.cpp; do
        [ -e "$f" ] || continue
        unit=$(basename "$f"); unit=${unit%.*}
        sed -n 's/^[[:space:]]*#[[:space:]]*include[[:space:]]*"\([^"]*\)".*/\1/p' "$f" | while read -r header; do
            [ -e "$dir/$header" ] || continue
            dep=${header%.*}
            [ "$dep" = "$unit" ] || echo "$unit $dep"
        done
    done
)
if ! out=$(printf '%s\n' "$edges" | tsort 2>&1 >/dev/null); then
    echo "include circle in $dir:" >&2
    printf '%s\n' "$out" | sed -n 's/^tsort: //p' | grep -v 'input contains a loop' >&2
    exit 1
fi
echo "no include circle in $dir ($(printf '%s\n' "$edges" | grep -c .) includes between units)"
