#!/usr/bin/env bash
# Kills `orvandel convert --delete-source` runs with SIGKILL at random points and
# checks what each leaves: no PST at all, or one that `orvandel verify` passes and
# the three readers of pst-inspect read in full, holding the item of every source
# the run deleted (an item goes only after its companion). Each killed
# run is then run again into its PST: the PST must end with every item exactly
# once, as one complete run makes it. Then a Ctrl-C-like SIGTERM, a run without
# deletion stopped and run again (the counts of the two add up), and a last run
# that must clear the temporary files the killed runs left.
#   kill_campaign.sh ORVANDEL PST_INSPECT SAMPLE_MAILBOX
# ORVANDEL_KILLS (20), ORVANDEL_KILL_MESSAGES (2000) and ORVANDEL_KILL_SEED set
# the campaign's size and its random points.
set -euo pipefail
bin=$1 inspect=$2 sample=$3
kills=${ORVANDEL_KILLS:-20}
messages=${ORVANDEL_KILL_MESSAGES:-2000}
seed=${ORVANDEL_KILL_SEED:-$$}
RANDOM=$seed
work=$(mktemp -d "${TMPDIR:-/tmp}/orvandel-kills.XXXXXX")
trap 'rm -rf "$work"' EXIT
export TMPDIR=$work/tmp
mkdir -p "$TMPDIR"

# The mailbox: the sample (contacts, appointments, tasks and notes, some with
# companions) and many messages with subjects of their own.
cp -a "$sample" "$work/box"
python3 - "$work/box" "$messages" <<'EOF'
import os, sys
box, n = sys.argv[1], int(sys.argv[2])
for i in range(n):
    folder = os.path.join(box, ("Inbox", "Sent", "Receipts")[i % 3])
    with open(os.path.join(folder, "%010d-kill %d.eml" % (900000 + i, i)), "w") as f:
        f.write("From: a@example.org\r\nTo: b@example.org\r\nSubject: kill %d\r\n"
                "Date: Tue, 23 Apr 2019 18:14:28 -0400\r\nMessage-ID: <k%d@example.org>\r\n\r\n" % (i, i)
                + ("line %d of message %d\r\n" % (i, i)) * 40)
EOF
(cd "$work/box" && find . -type f | sort) >"$work/sources"

fail() { echo "FAIL: $*" >&2; exit 1; }
same_items=$(dirname "$0")/same_items.py

# Runs a stopped run's source again into its PST; the PST must then hold what
# the complete run made, each item once.
resume() {
  local src=$1 pst=$2 label=$3
  shift 3
  "$bin" convert "$src" --pst "$pst" --quiet --commit-every 100 --json "$@" >"$work/again-summary.json" 2>/dev/null || true
  "$bin" verify "$pst" --quiet || fail "$label, run again: verify failed"
  "$inspect" "$pst" --reader pypff --json --timeout 600 >"$work/again.json" 2>/dev/null || true
  python3 "$same_items" "$work/ref.json" "$work/again.json" >/dev/null ||
    fail "$label, run again: the PST does not hold every item exactly once"
  echo "$label, run again: every item exactly once"
}
# Items a summary counts as saved, and as already in the PST.
saved() { python3 -c 'import json,sys; m=json.load(open(sys.argv[1]))["mailboxes"][0]; print(sum(m[k] for k in ("messages_imported","contacts","appointments","tasks","notes","documents","chats")), m["already_in_pst"])' "$1"; }

# Checks one left-over PST against the sources still there.
check() {
  local src=$1 pst=$2 label=$3
  (cd "$src" && find . -type f | sort) >"$work/left"
  if [ ! -e "$pst" ]; then
    cmp -s "$work/sources" "$work/left" || fail "$label: sources were deleted, but there is no PST"
    echo "$label: no PST yet, every source kept"
    return
  fi
  "$bin" verify "$pst" --quiet || fail "$label: verify failed"
  "$inspect" "$pst" --json --timeout 600 >"$work/inspect.json" 2>/dev/null || true
  python3 - "$work/inspect.json" "$work/sources" "$work/left" "$label" <<'EOF' || fail "$label: readers"
import json, re, sys
d = json.load(open(sys.argv[1]))
before = set(open(sys.argv[2]).read().split("\n")) - {""}
left = set(open(sys.argv[3]).read().split("\n")) - {""}
gone = before - left
label = sys.argv[4]
item_metas = (".appt.meta", ".task.meta", ".wiki.meta")
item_contents = tuple(m[:-5] for m in item_metas)
counts = {}
for name, r in d["readers"].items():
    if not r.get("opened") or r.get("error"):
        sys.exit("%s: %s did not read the file: %s" % (label, name, r.get("error")))
    counts[name] = sum(len(f["items"]) for f in r["folders"])
# The readers' cross-check: same tree, counts and subjects (readpst leaves some kinds out).
if d["exit_status"] != 0 or not d["cross_check"]["agree"]:
    sys.exit("%s: the readers disagree: %s" % (label, json.dumps(d["cross_check"])[:2000]))
subjects = {it["subject"] for f in d["readers"]["pypff"]["folders"] for it in f["items"]}
for path in gone:
    made = re.fullmatch(r"\d{10}-(kill \d+)\.eml", path.rsplit("/", 1)[-1])
    if made and made.group(1) not in subjects:
        sys.exit("%s: %s was deleted but its message is not in the PST" % (label, path))
    # Where the .meta is the item (appointments, tasks, notes) its content goes
    # first and the .meta last, so that the .meta marks what a re-run still
    # deletes; where the content is the item, its .meta goes first.
    if path.endswith(item_metas) and path[:-5] in left:
        sys.exit("%s: the item %s went before its companion" % (label, path))
    if not path.endswith((".meta", ".eml") + item_contents) and path + ".meta" in left:
        sys.exit("%s: %s went before its .meta" % (label, path))
print("%s: verify 0, %s items read by %s, %d sources deleted" % (label, counts["pypff"], "/".join(counts), len(gone)))
EOF
}

# A reference run gives the span the kills are spread over.
cp -a "$work/box" "$work/src"
start=$(date +%s%N)
"$bin" convert "$work/src" --pst "$work/ref.pst" --delete-source --quiet --commit-every 100 --json >"$work/ref-summary.json" || true
span_ms=$(( ($(date +%s%N) - start) / 1000000 ))
check "$work/src" "$work/ref.pst" "complete run"
cp "$work/inspect.json" "$work/ref.json"
[ -z "$(find "$work/src" -name '*.eml')" ] || fail "the complete run left messages"
read -r ref_saved _ < <(saved "$work/ref-summary.json")
rm -rf "$work/src" "$work"/ref.pst "$work"/ref.log

killed=0 tries=0
while [ "$killed" -lt "$kills" ]; do
  tries=$((tries + 1))
  [ "$tries" -le $((kills * 3)) ] || fail "only $killed of $kills runs could be killed in $tries tries"
  rm -rf "$work/src" "$work/out"
  cp -a "$work/box" "$work/src"
  mkdir "$work/out"
  "$bin" convert "$work/src" --pst "$work/out/a.pst" --delete-source --quiet --commit-every 100 >/dev/null 2>&1 &
  pid=$!
  at_ms=$(( (RANDOM * 32768 + RANDOM) % (span_ms + 1) ))
  sleep "$(printf '%d.%03d' $((at_ms / 1000)) $((at_ms % 1000)))"
  kill -KILL "$pid" 2>/dev/null || true
  rc=0
  wait "$pid" || rc=$?
  [ "$rc" -eq 137 ] || continue  # it had finished: not a kill
  killed=$((killed + 1))
  check "$work/src" "$work/out/a.pst" "kill $killed at ${at_ms} ms"
  resume "$work/src" "$work/out/a.pst" "kill $killed" --delete-source
  [ -z "$(find "$work/src" -name '*.eml')" ] || fail "kill $killed, run again: messages were left"
done

# A stop by signal: status 1, a complete PST.
rm -rf "$work/src" "$work/out"
cp -a "$work/box" "$work/src"
mkdir "$work/out"
"$bin" convert "$work/src" --pst "$work/out/a.pst" --delete-source --quiet --commit-every 100 >/dev/null 2>&1 &
pid=$!
sleep "$(printf '%d.%03d' $((span_ms / 2000)) $((span_ms / 2 % 1000)))"
kill -TERM "$pid" 2>/dev/null || true
rc=0
wait "$pid" || rc=$?
[ "$rc" -eq 1 ] || [ "$rc" -eq 0 ] || fail "a run stopped by SIGTERM ended with status $rc"
check "$work/src" "$work/out/a.pst" "SIGTERM (status $rc)"

# Without deletion: stopped, then run again; the second run counts what the first saved as already there.
rm -rf "$work/src" "$work/out"
cp -a "$work/box" "$work/src"
mkdir "$work/out"
"$bin" convert "$work/src" --pst "$work/out/a.pst" --quiet --commit-every 100 --json >"$work/stopped.json" 2>/dev/null &
pid=$!
sleep "$(printf '%d.%03d' $((span_ms / 2000)) $((span_ms / 2 % 1000)))"
kill -TERM "$pid" 2>/dev/null || true
wait "$pid" || true
resume "$work/src" "$work/out/a.pst" "stopped without deletion"
read -r first _ < <(saved "$work/stopped.json")
read -r second already < <(saved "$work/again-summary.json")
[ "$already" -eq "$first" ] && [ $((first + second)) -eq "$ref_saved" ] ||
  fail "counts: the stopped run saved $first, the next $second with $already already in the PST; one run saves $ref_saved"
echo "stopped without deletion: $first + $second items saved, $already already in the PST"

# The killed runs' temporary files go when the next run starts.
rm -rf "$work/src" "$work/out"
mkdir "$work/out" "$work/src"
"$bin" convert "$work/src" --pst "$work/out/a.pst" --quiet >/dev/null 2>&1 || true
left=$(find "$TMPDIR" -mindepth 1 -maxdepth 1 -name 'orvandel-*' | wc -l)
[ "$left" -eq 0 ] || fail "$left temporary files of killed runs are left in $TMPDIR"
echo "kill campaign: $killed of $kills killed runs left a sound PST (ORVANDEL_KILL_SEED=$seed)"
