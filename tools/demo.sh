#!/usr/bin/env bash
# The demo: makes a sample document with every feature, converts it through
# every document format the host has and back to .qyd, shows what each file
# holds, and checks that the document came back equal. The files stay in a
# folder it names (BUILD_DIR/demo, or $QY_DEMO_DIR) for a look afterwards;
# the next run replaces them.
# Usage: tools/demo.sh BUILD_DIR   (scripts/demo passes build-release)
set -euo pipefail
cd "$(dirname "$0")/.."

build=${1:-build-release}
q="$(pwd)/$build/tools/quillery"
case $build in /*) q="$build/tools/quillery" ;; esac
notes=${QY_DEMO_NOTES:-3000}
[ -x "$q" ] || { echo "demo: $q is not built" >&2; exit 1; }

work=${QY_DEMO_DIR:-$(dirname "$q")/../demo}
mkdir -p "$work"
work=$(cd "$work" && pwd)
cd "$work"
# Only what an earlier run made here goes; nothing else in the folder.
rm -f password sample.qyd step[0-9]*.*
printf 'demo password\n' > password
# The password option for a command whose files ($@) include an encrypted
# one (also the password of the encrypted files written); none otherwise,
# where it would change nothing.
pw() { case " $* " in *.qye\ *|*.qyde\ *) echo --password-file password ;; esac; }

now() { date +%s.%N; }
secs() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f s", b - a }'; }

echo "== quillery demo: a sample document of $notes notes through every format and back"
echo "   (the files are kept in $work)"
"$q" --seed 7 generate "$notes" sample.qyd

# Every format that stores a whole document, .qyd last so the chain ends there.
mapfile -t exts < <("$q" formats | awk -F'\t' '$3 == "document" && $1 != ".qyd" { print $1 }')
exts+=(.qyd)

echo
echo "== converting sample.qyd -> $(printf '%s -> ' "${exts[@]}" | sed 's/ -> $//')"
prev=sample.qyd
files=("$prev")
step=0
for ext in "${exts[@]}"; do
  step=$((step + 1))
  next="step$step$ext"
  t0=$(now)
  "$q" -q $(pw "$prev" "$next") --keep-id convert "$prev" "$next"
  t1=$(now)
  printf '   %-12s -> %-12s %s\n' "$prev" "$next" "$(secs "$t0" "$t1")"
  files+=("$next")
  prev=$next
done

echo
echo "== what each file holds (quillery info)"
printf '   %-12s %-47s %-10s %-9s %s\n' file format size encrypted notes
for f in "${files[@]}"; do
  "$q" $(pw "$f") info "$f" | awk -F':  +' -v name="$f" '
    { v[$1] = $2 }
    END { printf "   %-12s %-47s %-10s %-9s %s\n", name, v["format"], v["size"], v["encrypted"], v["notes"] }'
done

echo
echo "== round trip"
if result=$("$q" $(pw sample.qyd "$prev") compare sample.qyd "$prev"); then
  echo "   sample.qyd and $prev after ${#exts[@]} conversions: $result"
  echo "   the round trip holds: every note, its text, formatting, links, pictures,"
  echo "   attachments, task, tags and properties, and the document's own data came back equal."
  if cmp -s sample.qyd "$prev"; then echo "   $prev even has the very bytes of sample.qyd."; fi
else
  echo "   the round trip FAILED: $result"
  exit 1
fi
echo
echo "== the files are in $work"
