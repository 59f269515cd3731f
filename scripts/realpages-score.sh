#!/usr/bin/env bash
# Scores the baseline method on real scans with PAGE or ALTO line ground
# truth: a folder holding IMAGE.(jpg|jpeg|png|tif) beside IMAGE.xml, by
# default the real pages beside the project. Prints each page's line FM and
# the pooled figure, at the default threshold and pixels.
#   scripts/realpages-score.sh [BUILD] [FOLDER]
set -euo pipefail

build=${1:-build}
folder=${2:-$(dirname "$0")/../../shared/realpages/mss18}
[ -d "$folder" ] || { echo "no folder of real pages at $folder" >&2; exit 2; }
ws=$(mktemp -d "${TMPDIR:-/tmp}/corvanel-realpages-XXXXXX")
trap 'rm -rf "$ws"' EXIT
mkdir -p "$ws/images" "$ws/gt"
for xml in "$folder"/*.xml; do
  stem=$(basename "$xml" .xml)
  for image in "$folder/$stem".*; do
    [ "$image" = "$xml" ] && continue
    cp "$image" "$ws/images/"
    cp "$xml" "$ws/gt/"
  done
done
"$build/segment/corvanel-segment" "$ws" >/dev/null
"$build/cli/corvanel-eval" "$ws" --level lines --json "$ws/lines.json" >/dev/null
python3 - "$ws/lines.json" <<'PY'
import json, sys
doc = json.load(open(sys.argv[1]))
for page in doc["pages"]:
    fm = page.get("FM")
    print(f'{page["name"]}\tN {page.get("N")}\tM {page.get("M")}\tone2one {page.get("one2one")}\tFM {fm if fm is None else round(fm, 2)}')
t = doc["totals"]
print(f'pooled\tN {t["N"]}\tM {t["M"]}\tone2one {t["one2one"]}\tFM {round(t["FM"], 2)}')
PY
