#!/usr/bin/env bash
# notepress demo: converts the sample notes into OUT/notepress/html/.
set -euo pipefail
OUT="$1"
HERE="$(cd "$(dirname "$0")" && pwd)"
WORK="$OUT/notepress"
rm -rf "$WORK"
mkdir -p "$WORK"
cp -r "$HERE/notes" "$HERE/notepress.json" "$WORK/"
python "$HERE/make_samples.py" "$WORK/notes"
cd "$WORK"
dor-vex notepress -c notepress.json
# A note that failed is only logged; the demo must not pass with a page missing.
notes=$(find notes -name '*.md' | wc -l)
pages=$(find html -name '*.html' | wc -l)
if [ "$notes" -ne "$pages" ]; then echo "notepress demo: $pages pages for $notes notes" >&2; exit 1; fi
echo "Pages in $WORK/html:"
ls -1 html
