#!/usr/bin/env bash
# platebook demo: generates sample measurement images into OUT/platebook/images
# and builds OUT/platebook/images/lab-report.pdf from them.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
out="$1/platebook"
rm -rf "$out"
mkdir -p "$out/images"
python "$here/make_samples.py" "$out/images"
cp "$here/report.json" "$out/report.json"
cd "$out"
dor-vex platebook -c report.json
test -s images/lab-report.pdf
echo "platebook: $out/images/lab-report.pdf"
