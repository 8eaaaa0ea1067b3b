#!/usr/bin/env bash
# The dynamic symbol table of each kestrel library holds its API alone: prints
# how many symbols each exports, and fails when one exports nothing (its
# export macro was lost), a symbol of kestrel::detail or kestrel::bench
# (internal code), or anything outside the kestrel and heron namespaces.
#   exported_symbols.sh LIB_DIR
set -euo pipefail
lib_dir=$1
shopt -s nullglob
libs=("$lib_dir"/libkestrel_*.so)
if [ ${#libs[@]} -eq 0 ]; then
  echo "no libkestrel_*.so in $lib_dir" >&2
  exit 1
fi
status=0
total=0
for lib in "${libs[@]}"; do
  name=$(basename "$lib" .so)
  # Defined, exported symbols, demangled; "typeinfo for X" and the like named by X.
  symbols=$(nm -D -C --defined-only "$lib" | awk '$2 ~ /^[TtWwVvDdBbRrui]$/ { $1 = ""; $2 = ""; sub(/^  /, ""); print }' |
            sed -E 's/^(typeinfo name for|typeinfo for|vtable for|VTT for|guard variable for|construction vtable for [^ ]+-in-|non-virtual thunk to|virtual thunk to) //')
  count=$(printf '%s\n' "$symbols" | grep -c . || true)
  total=$((total + count))
  printf '%-28s %5d\n' "$name" "$count"
  if [ "$count" -eq 0 ]; then
    echo "  $name exports nothing: its public header's declarations lost their export macro" >&2
    status=1
  fi
  internal=$(printf '%s\n' "$symbols" | grep -E '^kestrel::(detail|bench)::' || true)
  if [ -n "$internal" ]; then
    echo "  $name exports internal symbols:" >&2
    printf '    %s\n' $'\n'"$internal" | head -20 >&2
    status=1
  fi
  foreign=$(printf '%s\n' "$symbols" | grep -vE '^(kestrel|heron)::' | grep . || true)
  if [ -n "$foreign" ]; then
    echo "  $name exports symbols outside kestrel:: and heron::" >&2
    printf '%s\n' "$foreign" | head -20 | sed 's/^/    /' >&2
    status=1
  fi
done
printf '%-28s %5d\n' total "$total"
exit "$status"
