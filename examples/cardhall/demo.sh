#!/usr/bin/env bash
# card-hall demo: the index page of everything the other demos wrote, as
# OUT/index.html. A result whose demo did not run keeps its card (a dead link)
# and is named here, so the page still gets written.
set -euo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
out="${1:?usage: demo.sh OUT}"

mkdir -p "$out/cardhall"
cp "$here/cards.yaml" "$out/cardhall/cards.yaml"
cd "$out"

for result in platebook/images/lab-report.pdf leafmix/merged.pdf notepress/html/ \
              chartsite/site/index.html tallyrun/out/result.xlsx spendfile/expenses/results/; do
    [ -e "$result" ] || echo "note: $result is missing (its demo did not run); its card links nowhere"
done

# folder_path "." in cards.yaml: the page lands in OUT itself.
dor-vex card-hall -c cardhall/cards.yaml
