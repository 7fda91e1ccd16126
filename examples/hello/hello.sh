#!/bin/sh
# The example tool of a portable package: it shows what the launcher hands
# to the tool it runs (arguments, working directory, environment) and reads
# a file from a subdirectory of its image to show that the whole tree was
# unpacked.

here=$(dirname "$0")

echo "Hello from the portable hello example!"
echo

echo "Arguments ($#):"
i=0
for arg in "$@"; do
    i=$((i + 1))
    printf '  arg %d: <%s>\n' "$i" "$arg"
done
echo

echo "Working directory:"
printf '  %s\n' "$(pwd)"
echo

echo "Environment set by the launcher:"
printf '  QUARN_PORTABLE_EXEC_DIR=%s\n' "${QUARN_PORTABLE_EXEC_DIR-(not set)}"
printf '  SkyletLocale=%s\n' "${SkyletLocale-(not set)}"
echo

echo "Message from $here/data/message.txt:"
if [ -r "$here/data/message.txt" ]; then
    sed 's/^/  /' "$here/data/message.txt"
else
    echo "  (missing: the image was not fully unpacked)"
    exit 1
fi
