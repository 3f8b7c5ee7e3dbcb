#!/usr/bin/env bash
# Formats every C++ file of the repository with clang-format and the
# .clang-format at the root.
# Usage: bash scripts/format.sh          rewrites the files in place
#        bash scripts/format.sh --check  changes nothing; lists the files that
#                                        are not formatted and exits 1 if any
set -euo pipefail
cd "$(dirname "$0")/.."

clang_format=${CLANG_FORMAT:-clang-format}
command -v "$clang_format" >/dev/null || { echo "format.sh: $clang_format not found (apt-get install clang-format)" >&2; exit 2; }

mapfile -t files < <(git ls-files '*.cpp' '*.h')
if [ "${1:-}" = "--check" ]; then
  bad=()
  for f in "${files[@]}"; do
    "$clang_format" --dry-run --Werror "$f" >/dev/null 2>&1 || bad+=("$f")
  done
  if [ ${#bad[@]} -gt 0 ]; then
    printf 'not formatted: %s\n' "${bad[@]}"
    echo "format.sh: ${#bad[@]} of ${#files[@]} files need 'bash scripts/format.sh'" >&2
    exit 1
  fi
  echo "format.sh: ${#files[@]} files formatted"
else
  "$clang_format" -i "${files[@]}"
fi
