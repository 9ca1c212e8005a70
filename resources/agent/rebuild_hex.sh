#!/bin/sh
# Reassemble agent.hex from agent.asm.  Needs Debian's sdcc package
# (sdas8051, sdld, packihx); the normal build never runs this, it only reads
# the committed agent.hex.  The output is byte-for-byte reproducible, so a
# rebuild from an unchanged agent.asm leaves agent.hex untouched in git.
set -eu

here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

cp "$here/agent.asm" "$work/"
cd "$work"
sdas8051 -plosgff agent.rel agent.asm
sdld -n -i agent.ihx agent.rel
packihx agent.ihx > agent.hex

# Run the table generator over the result: it refuses malformed hex, so a bad
# file never replaces the committed one.  (The 3456-byte size and contiguity
# are enforced by agent.asm itself.)
python3 "$here/hex2agent.py" agent.hex agent_table.cpp
cp agent.hex "$here/agent.hex"
echo "agent.hex rebuilt"
