#!/bin/sh
# Fails when a program holds the four item-marker bytes in a row: the scan would
# take them for the first embedded item.
m=$(printf 'S%s' 'ZDD')
if LC_ALL=C grep -q -a -F "$m" "$1"; then
    echo "error: $1 contains the item marker bytes; build the marker at run time" >&2
    exit 1
fi
