#!/usr/bin/env bash
# Fails when a source includes a folder its layer may not depend on, or Qt outside app/ and ui/.
# The rules are the "Folder | May include | Qt" table of README.md, so they live in one place.
# Prints file:line and the include for every offence; exit status 1 then, 2 on a missing table.
set -euo pipefail
cd "$(dirname "$0")/.."

table=$(awk '/^\| *Folder *\| *May include *\| *Qt *\|/ { on = 1; next }
             on && !/^\|/ { exit }
             on && !/^\|[ -]*\|/ { print }' README.md)
if [[ -z $table ]]; then
    echo "check-layers: no \"Folder | May include | Qt\" table in README.md" >&2
    exit 2
fi

folders=$(awk -F'|' '{ gsub(/[ `\/]/, "", $2); print $2 }' <<<"$table")
topdirs=$(find . -mindepth 1 -maxdepth 1 -type d ! -name '.*' ! -name build -printf '%f\n')
mapfile -t files < <(find $folders -type f \( -name '*.h' -o -name '*.cpp' \) | sort)

awk -v table="$table" -v topdirs="$topdirs" '
BEGIN {
    n = split(table, rows, "\n")
    for (i = 1; i <= n; ++i) {
        split(rows[i], cell, "|")
        folder = cell[2]; gsub(/[ `\/]/, "", folder)
        may[folder "," folder] = 1
        m = split(cell[3], deps, /[ `]+/)
        for (j = 1; j <= m; ++j) {
            dep = deps[j]; sub(/\/$/, "", dep)
            if (dep != "") may[folder "," dep] = 1
        }
        qt = cell[4]; gsub(/ /, "", qt)
        qtOk[folder] = (qt == "yes")
    }
    split(topdirs, t, "\n")
    for (i in t) top[t[i]] = 1
}
FNR == 1 { split(FILENAME, p, "/"); folder = p[1] }
/^[ \t]*#[ \t]*include[ \t]*[<"]/ {
    line = $0
    sub(/^[ \t]*#[ \t]*include[ \t]*/, "", line)
    quoted = substr(line, 1, 1) == "\""
    name = substr(line, 2); sub(/[>"].*/, "", name)
    inc = quoted ? "\"" name "\"" : "<" name ">"
    if (!quoted && name ~ /^Q[A-Za-z]/) {
        if (!qtOk[folder]) bad(inc, "Qt outside app/ and ui/")
        next
    }
    first = name; sub(/\/.*/, "", first)
    if (first == name || !(first in top)) next
    # <net/if.h> is the system header unless the repository holds that path.
    if (!quoted && (getline dummy < name) < 0) next
    if (!quoted) close(name)
    if (!((folder "," first) in may)) bad(inc, folder "/ may not include " first "/")
}
function bad(inc, why) {
    printf "%s:%d: forbidden #include %s (%s)\n", FILENAME, FNR, inc, why
    failed = 1
}
END { exit failed }
' "${files[@]}"
