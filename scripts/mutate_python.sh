#!/usr/bin/env bash
# Mutation check of quillet_tree's Python modules (src/tree/quillet_tree) with
# mutmut 2, which mutates the files in place and runs a command per mutant
# (pip install ".[test,mutation]"). The native part comes from build-mutate/,
# built and staged by scripts/mutate.py; scripts/mutmut_config.py picks each
# file's tests and the sample.
#
#   bash scripts/mutate_python.sh                      # every module
#   bash scripts/mutate_python.sh src/tree/quillet_tree/_text.py
#   QUILLET_MUTMUT_SAMPLE=0.2 QUILLET_MUTMUT_SEED=1 bash scripts/mutate_python.sh
#   bash scripts/mutate_python.sh --resume ...         # keep the results so far
#
# Ends with the survivors and a score per file (python scripts/mutmut_config.py
# prints them again); `mutmut show ID` shows one mutant as a diff.
set -euo pipefail
cd "$(dirname "$0")/.."

python3 scripts/mutate.py --stage
if [ "${1:-}" = "--resume" ]; then
  shift
else
  rm -f .mutmut-cache
fi
paths=()
if [ "$#" -gt 0 ]; then
  paths=(--paths-to-mutate "$(IFS=,; echo "$*")")
fi
# mutmut exits non-zero when a mutant survives; the report says which.
PYTHONPATH="$PWD/scripts${PYTHONPATH:+:$PYTHONPATH}" mutmut run --simple-output --no-progress "${paths[@]}" || true
python3 scripts/mutmut_config.py
