#!/usr/bin/env bash
# The Slurm recipe for real: a one-node cluster (scripts/slurm-cluster) runs
# examples/slurm/convert-array.sbatch as a 3-task job array over a 6-mailbox
# export (folders and archives); the merged report and every PST must equal a
# local sequential run.
# Exit 77 (skipped) only where slurm-wlm and munge cannot be installed.
# Usage: job_array_test.sh ORVANDEL PST_INSPECT REPOSITORY
set -euo pipefail
bin=$1 inspect=$2 repo=$3

if ! "$repo/scripts/slurm-cluster" check; then
  if [ "$(id -u)" -eq 0 ]; then
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
      -o DPkg::Lock::Timeout=600 slurm-wlm munge >/dev/null 2>&1 || true
  fi
  if ! "$repo/scripts/slurm-cluster" check; then
    echo "SKIPPED: slurm-wlm and munge are not installed and could not be installed here"
    exit 77
  fi
fi
if [ "$(id -u)" -ne 0 ]; then
  echo "SKIPPED: starting the Slurm daemons needs root"
  exit 77
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/orvandel-slurm.XXXXXX")
chmod 755 "$work"
state="$work/cluster"
cleanup() {
  "$repo/scripts/slurm-cluster" down "$state" || true
  rm -rf "$work"
}
trap cleanup EXIT

# Six mailboxes, folders and archives mixed: the two samples under three names each.
mkdir -p "$work/export"
for copy in "" 2 3; do
  cp -r "$repo/examples/sample-export/alice" "$work/export/alice$copy"
done
tar --sort=name -czf "$work/export/bob.tgz" -C "$repo/examples/sample-export/bob" .
tar --sort=name -cf "$work/export/bob2.tar" -C "$repo/examples/sample-export/bob" .
cp -r "$repo/examples/sample-export/bob" "$work/export/bob3"
mkdir -p "$work/local" "$work/array"

"$bin" convert --multiple "$work/export" --out "$work/local" -j 1 --quiet --json >"$work/local.json"

"$repo/scripts/slurm-cluster" up "$state"
export SLURM_CONF="$state/slurm.conf"
start=$(date +%s)
sbatch --wait --array=0-2 --cpus-per-task=1 --mem-per-cpu=500M --chdir="$work" \
  --output="$work/task-%a.out" --export=ALL,ORVANDEL="$bin" \
  "$repo/examples/slurm/convert-array.sbatch" "$work/export" "$work/array" || {
  tail -n 30 "$work"/task-*.out "$state/log/slurmctld.log" >&2 || true
  echo "FAILED: the job array did not succeed" >&2
  exit 1
}
echo "job array of 3 tasks: $(($(date +%s) - start)) s"

ls "$work/array"/summary-*-of-3.json
"$bin" report "$work/array" --json >"$work/report.json" || { cat "$work/report.json"; echo "FAILED: report" >&2; exit 1; }
# The report lists the mailboxes as the local run does, with the same figures.
python3 - "$work/local.json" "$work/report.json" "$work/local" "$work/array" <<'PY'
import json, sys
local, report = (json.load(open(p)) for p in sys.argv[1:3])
def norm(doc, out):
    return [{k: (v.replace(out, "OUT") if isinstance(v, str) else v) for k, v in m.items()} for m in doc["mailboxes"]]
a, b = norm(local, sys.argv[3]), norm(report, sys.argv[4])
if a != b or len(a) != 6:
    sys.exit("FAILED: the report differs from the local run:\n%s\n%s" % (a, b))
if report["totals"]["converted"] != 6 or report["exit_status"] != 0:
    sys.exit("FAILED: totals %s" % report["totals"])
PY
timeless() { "$inspect" "$1" --json --reader pypff | grep -v -e '"file"' -e '"elapsed_sec"' -e '"store_display_name"'; }
for pst in "$work/local"/*.pst; do
  name=$(basename "$pst")
  if ! diff <(timeless "$pst") <(timeless "$work/array/$name") >/dev/null; then
    echo "FAILED: $name differs between the local run and the job array" >&2
    exit 1
  fi
  "$bin" verify --quiet "$work/array/$name"
done
echo "PASSED: 6 mailboxes, report and PSTs equal to the local run"
