#!/usr/bin/env bash
# Checks that the tracked C++ sources (src/, tests/, bench/) are formatted as
# .clang-format says: lists every file that clang-format would change and
# fails if there is one. Fix them with `clang-format -i FILE...`.
set -euo pipefail
cd "$(dirname "$0")/.."

if ! command -v clang-format >/dev/null; then
  echo "check-format: clang-format is not installed (scripts/install-deps.sh all)" >&2
  exit 1
fi

mapfile -t files < <(git ls-files -- 'src/*.cc' 'src/*.h' 'tests/*.cc' 'tests/*.h' \
                                     'bench/*.cc' 'bench/*.h')
if [ ${#files[@]} -eq 0 ]; then
  echo "check-format: no C++ sources found (not a git checkout?)" >&2
  exit 1
fi
drift=()
for file in "${files[@]}"; do
  clang-format --dry-run --Werror "$file" 2>/dev/null || drift+=("$file")
done
if [ ${#drift[@]} -ne 0 ]; then
  echo "check-format: not formatted as .clang-format says (clang-format -i to fix):" >&2
  printf '  %s\n' "${drift[@]}" >&2
  exit 1
fi
echo "check-format: ${#files[@]} files formatted"
