#!/usr/bin/env bash
# catalogue_test.sh: every language's catalogue is complete for the texts
# the sources have now (extracted afresh, not taken from po/dotvane.pot,
# which may be behind), nothing in it is untranslated or fuzzy, and msgfmt
# --check passes (each translation's %1$s... and plural forms match its
# English).
set -euo pipefail
po=$(cd "$(dirname "$0")/../../po" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; failed=1; }
failed=0

"$po/make_pot.sh" "$work/current.pot"
languages=$(grep '^[a-z]' "$po/LINGUAS")
[[ -n $languages ]] || fail "po/LINGUAS names no language"
for lang in $languages; do
  [[ -f $po/$lang.po ]] || { fail "$lang is listed in po/LINGUAS but po/$lang.po is missing"; continue; }
  # A text of the sources that the catalogue lacks (or leaves untranslated).
  LC_ALL=C msgcmp "$po/$lang.po" "$work/current.pot" 2>"$work/msgcmp" || fail "po/$lang.po: $(cat "$work/msgcmp")"
  statistics=$(LC_ALL=C msgfmt --check --statistics -o /dev/null "$po/$lang.po" 2>&1) ||
    fail "po/$lang.po: msgfmt --check: $statistics"
  [[ $statistics =~ ^[0-9]+\ translated\ messages\.$ ]] || fail "po/$lang.po is incomplete: $statistics"
  echo "po/$lang.po: $statistics"
done
exit "$failed"
