#!/usr/bin/env bash
# check-layers.sh [ROOT]: fails when a source file includes a header from a room (top-level
# folder) above its own. The order is README's layout table, top room first: a room includes
# headers of the rooms listed below it only. A room with sources that the table does not list
# fails too, so that a new room is given its place. Reads the files git tracks under ROOT.
set -euo pipefail
root=${1:-$(cd "$(dirname "$0")/.." && pwd)}
cd "$root"
rooms=$(awk '/^## / { layout = ($0 == "## Layout") }
  layout && /^\| `[^`]+`/ { split($0, cell, "`"); sub(/\/.*/, "", cell[2]); print cell[2] }' README.md)
if [[ -z $rooms ]]; then
  echo "check-layers: no layout table under '## Layout' in README.md" >&2
  exit 1
fi
git ls-files -- '*.cc' '*.h' '*.cc.in' | grep / |
  xargs grep -H -E '^[[:space:]]*#[[:space:]]*include[[:space:]]*"|^' /dev/null |
  awk -v rooms="$rooms" '
    BEGIN { n = split(rooms, r, "\n"); for (i = 1; i <= n; i++) rank[r[i]] = i }
    {
      file = $0; sub(/:.*/, "", file); room = file; sub(/\/.*/, "", room)
      if (!(room in rank)) {
        if (!(room in told)) print "check-layers: " room "/ holds sources but is not in README'"'"'s layout table"
        told[room] = bad = 1
        next
      }
      if (!match($0, /:[[:space:]]*#[[:space:]]*include[[:space:]]*"[^"]+\//)) next
      target = substr($0, RSTART, RLENGTH - 1); sub(/.*"/, "", target)
      if ((target in rank) && rank[target] < rank[room]) {
        line = $0; sub(/^[^:]*:[[:space:]]*/, "", line)
        print "check-layers: " file ": " line ": " target "/ is above " room "/ in README'"'"'s layout"
        bad = 1
      }
    }
    END { exit bad }'
