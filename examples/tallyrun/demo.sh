#!/usr/bin/env bash
# tally-run demo: makes a system CSV and a customer workbook of 40 lines each
# and matches them; the result lands in OUT/tallyrun/out/result.xlsx.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
out="$1/tallyrun"
rm -rf "$out" && mkdir -p "$out"
cp "$here/match.json" "$out/"
python "$here/make_samples.py" "$out/data_tallyrun" 40
cd "$out"
dor-vex tally-run -c match.json
test -f out/result.xlsx
echo "tally-run: $out/out/result.xlsx"
