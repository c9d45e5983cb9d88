#!/usr/bin/env bash
# Fails when a C++ file of the tree is not laid out as .clang-format says, naming each one;
# `clang-format -i FILE` lays it out.
set -euo pipefail
cd "$(dirname "$0")/.."
mapfile -t files < <(git ls-files '*.cpp' '*.h' '*.cc' '*.hpp')
if ! report=$(clang-format --dry-run --Werror "${files[@]}" 2>&1); then
  grep -o '^[^:]*:[0-9]*:[0-9]*: error' <<<"$report" | cut -d: -f1 | sort -u | sed 's/^/not formatted: /'
  exit 1
fi
echo "${#files[@]} files formatted as .clang-format says"
