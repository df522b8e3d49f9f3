#!/usr/bin/env bash
# leaf-mix demo: sample PDFs (a report, a landscape drawing, a sideways scan
# with /Rotate pages, a cropped page) merged 2x2 into OUT/leafmix/merged.pdf.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
out="$1/leafmix"
rm -rf "$out" && mkdir -p "$out"
cp "$here/merge.json" "$out/"
python "$here/make_samples.py" "$out/samples"
cd "$out"
dor-vex leaf-mix -c merge.json
test -s merged.pdf
