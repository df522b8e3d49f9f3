#!/usr/bin/env bash
# spend-file demo: a dry run, then the real run, on copies of the samples.
# Usage: demo.sh OUT (an absolute folder); results in OUT/spendfile/expenses/results.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
out="$1/spendfile"
rm -rf "$out" && mkdir -p "$out/expenses"
python "$here/make_samples.py" "$out/expenses"
cd "$out"
sed 's/"dry_run": false/"dry_run": true/' "$here/expense.json" > expense-dry-run.json
cp "$here/expense.json" expense.json

echo "-- dry run"
dor-vex spend-file -c expense-dry-run.json 2>&1
echo "-- real run"
dor-vex spend-file -c expense.json 2>&1
echo "-- results:"; ls expenses/results
echo "-- backup:"; ls expenses/backup
echo "-- left in place:"; ls expenses/*.xlsx
