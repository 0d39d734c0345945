#!/usr/bin/env bash
# Formats every C++ file git knows with the repository's .clang-format; with --check, changes
# nothing and fails naming the files that are not formatted.
set -euo pipefail
cd "$(dirname "$0")/.."
mapfile -t files < <(git ls-files '*.cpp' '*.h')
if [ "${1:-}" = "--check" ]; then
  unformatted=()
  for f in "${files[@]}"; do
    if ! clang-format --style=file --dry-run -Werror "$f" >/dev/null 2>&1; then
      unformatted+=("$f")
    fi
  done
  if [ ${#unformatted[@]} -gt 0 ]; then
    echo "Not formatted (run 'make format'):" >&2
    printf '  %s\n' "${unformatted[@]}" >&2
    exit 1
  fi
  echo "All ${#files[@]} C++ files are formatted."
else
  clang-format --style=file -i "${files[@]}"
fi
