#!/usr/bin/env bash
# po/make_pot.sh OUTPUT: extracts every text the user reads into the
# template OUTPUT (po/dotvane.pot, through `cmake --build build/normal
# --target dotvane-pot`): the program's texts marked _(), N_(),
# i18n::Format and i18n::FormatPlural in the C++ sources, the dialog
# templates and strings (po/extract_resources.py), the menu entry and the
# AppStream metainfo.
set -euo pipefail
output=${1:?usage: make_pot.sh OUTPUT}
cd "$(dirname "$0")/.."
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

python3 po/extract_resources.py "$work/resources.po" resources/ui/*.dlg resources/ui/strings_*.txt
version=$(sed -n 's/^project(Dotvane VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
common=(--from-code=UTF-8 --add-comments=TRANSLATORS: --sort-by-file --package-name=Dotvane
        --package-version="$version" --msgid-bugs-address=dotvane@orvanta.com --copyright-holder=Orvanta)
# Sources in a fixed order, so that the template changes only when a text does.
mapfile -t sources < <(find app ui os -name '*.cpp' | LC_ALL=C sort)
xgettext "${common[@]}" -o "$work/dotvane.pot" -L C++ \
  --keyword=_ --keyword=N_ --keyword=Format:1 --keyword=FormatPlural:1,2 \
  --flag=Format:1:c-format --flag=FormatPlural:1:c-format --flag=FormatPlural:2:c-format "${sources[@]}"
xgettext "${common[@]}" -j -o "$work/dotvane.pot" "$work/resources.po"
# The menu entry's name is the program's, in every language.
xgettext "${common[@]}" -j -o "$work/dotvane.pot" --keyword= --keyword=GenericName --keyword=Comment \
  --keyword=Keywords packaging/desktop/dotvane.desktop
# The metainfo's file name ends in .in (CMake configures it): its rules are named.
its=$(ls /usr/share/gettext/its/metainfo.its /usr/share/gettext-*/its/metainfo.its 2>/dev/null | head -n 1)
xgettext "${common[@]}" -j -o "$work/dotvane.pot" --its="$its" packaging/metainfo/com.orvanta.dotvane.metainfo.xml.in
# The extracted template file is named by its temporary path: name it by the repository's.
sed -i "s|$work/resources.po|resources/ui|" "$work/dotvane.pot"
cp "$work/dotvane.pot" "$output"
