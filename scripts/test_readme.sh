#!/usr/bin/env bash
# Runs the README's code blocks as a reader pastes them, each in a fresh temporary folder.
#
# Every fenced block whose info string starts with `sh` or `python` runs, except those that
# also say `network` (they fetch from PyPI). Blocks marked `checkout` (the installation)
# run first, in order, in a copy of the source tree, with HOME a temporary folder: they make
# the virtual environment the other blocks use (~/venvs/qox). Every other block then runs in
# a folder of its own: `sh` blocks with `bash -e` (each command must succeed), `python`
# blocks with the venv's python, so against the installed wheel and not the checkout.
# A failing block is reported with its README line and output; all blocks run regardless.
#
# Usage: bash scripts/test_readme.sh [README]   (README.md of the checkout by default)
set -uo pipefail
cd "$(dirname "$0")/.."
root=$PWD
readme=$(realpath "${1:-README.md}")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/home" "$work/blocks" "$work/source"

# One file per block: NNN-LINE.KIND (KIND: checkout.sh, sh or py).
/usr/bin/python3 - "$readme" "$work/blocks" <<'PY' || exit 1
import os, re, sys
readme, out = sys.argv[1], sys.argv[2]
lines = open(readme, encoding="utf-8").read().split("\n")
count, block = 0, None
for number, line in enumerate(lines, 1):
    fence = re.match(r"^(```+)(.*)$", line)
    if block is None and fence:
        words = fence.group(2).split()
        block = (fence.group(1), number, words, [])
    elif block is not None and fence and fence.group(1) == block[0] and not fence.group(2).strip():
        _, start, words, body = block
        block = None
        if not words or words[0] not in ("sh", "python") or "network" in words:
            continue
        kind = ("checkout." if "checkout" in words else "") + ("sh" if words[0] == "sh" else "py")
        count += 1
        with open(os.path.join(out, "%03d-%d.%s" % (count, start, kind)), "w",
                  encoding="utf-8") as handle:
            handle.write("\n".join(body) + "\n")
    elif block is not None:
        block[3].append(line)
if block is not None:
    sys.exit("README: the block opened on line %d is never closed" % block[1])
print("README: %d blocks to run" % count)
PY

# The source tree as a clone would have it: tracked and new files, nothing ignored (no build).
git ls-files -z --cached --others --exclude-standard |
  tar --null -T - -cf - 2>/dev/null | tar -xf - -C "$work/source" || exit 1

failed=()
run_block() {  # FILE FOLDER COMMAND...
  local file=$1 folder=$2
  shift 2
  local name line
  name=$(basename "$file")
  line=${name#*-}
  line=${line%%.*}
  if (cd "$folder" && HOME="$work/home" "$@" "$file") >"$work/output" 2>&1; then
    echo "README block at line $line: ok"
  else
    echo "README block at line $line FAILED (exit status $?); its output:"
    sed 's/^/    /' "$work/output"
    failed+=("$line")
  fi
}

for file in "$work"/blocks/*.checkout.sh; do
  [ -e "$file" ] || continue
  run_block "$file" "$work/source" bash -e
done
python="$work/home/venvs/qox/bin/python"
if [ ! -x "$python" ]; then
  echo "the README's installation did not make ~/venvs/qox; the other blocks cannot run"
  exit 1
fi
for file in "$work"/blocks/*; do
  case $file in
    *.checkout.sh) continue ;;
    *.sh) command=(bash -e) ;;
    *.py) command=("$python") ;;
  esac
  folder=$(mktemp -d "$work/run.XXXX")
  run_block "$file" "$folder" "${command[@]}"
done

if [ ${#failed[@]} -ne 0 ]; then
  echo "README blocks failed at lines: ${failed[*]}"
  exit 1
fi
echo "every README block ran"
