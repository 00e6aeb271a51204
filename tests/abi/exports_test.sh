#!/usr/bin/env bash
# The shared library's dynamic symbol table defines exactly the functions the public header
# declares: any other symbol (a C++ runtime template, an internal helper) fails the test.
set -euo pipefail
lib=$1 header=$2
want=$(grep -o 'REG_API[^(]*(' "$header" | grep -o 'reg_[a-z_]*' | sort -u)
have=$(nm -D --defined-only "$lib" | awk '{print $NF}' | sort -u)
if [ "$want" != "$have" ]; then
  echo "exported symbols differ from the header (< header only, > library only):"
  diff <(echo "$want") <(echo "$have") || true
  exit 1
fi
echo "$(echo "$have" | wc -l) symbols, all declared in the header"
