#!/usr/bin/env bash
# Builds the diagram site of examples/chartsite into OUT/chartsite/site/
# (index at OUT/chartsite/site/index.html). Usage: demo.sh OUT
set -euo pipefail
out=${1:?usage: demo.sh OUT}
here=$(cd -- "$(dirname -- "$0")" && pwd)
work="$out/chartsite"
rm -rf "$work" && mkdir -p "$work"
cp -r "$here/diagrams" "$here/site.json" "$work/"
cd "$work"
dor-vex chartsite -c site.json
test -f site/index.html
