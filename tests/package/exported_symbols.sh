#!/usr/bin/env bash
# The dynamic symbol table of each kestrel library holds its API alone. Prints,
# per library, how many kestrel/heron symbols it exports and how many
# instantiations of other libraries' templates (vague linkage: the one copy of
# a QuantLib singleton or an std:: template the process shares), and fails
# when a library
#  - exports a symbol of kestrel::detail, kestrel::engines or kestrel::bench
#    (internal code) or of an anonymous namespace,
#  - exports no kestrel/heron symbol at all (its export macro was lost),
#  - defines outright (not as a shared template instantiation) a symbol
#    outside kestrel:: and heron::.
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
printf '%-26s %6s %10s\n' library api templates
for lib in "${libs[@]}"; do
  name=$(basename "$lib" .so)
  # "TYPE NAME" per defined dynamic symbol, demangled; "typeinfo for X" and
  # the like named by X. Linker-made markers and the sanitizers' own left out.
  symbols=$(nm -D -C --defined-only "$lib" |
            awk '{ t = $2; $1 = ""; $2 = ""; sub(/^  /, ""); print t " " $0 }' |
            sed -E 's/^(.) (typeinfo name for|typeinfo for|vtable for|VTT for|guard variable for|non-virtual thunk to|virtual thunk to) /\1 /' |
            grep -vE '^. (_edata|_end|__bss_start|_init|_fini)$|^. __(odr_asan|asan|ubsan|sanitizer|sancov|start_|stop_)' || true)
  ours=$(grep -E '^. (kestrel|heron)::' <<<"$symbols" || true)
  others=$(grep -vE '^. (kestrel|heron)::' <<<"$symbols" | grep . || true)
  api=$(grep -c . <<<"$ours" || true)
  templates=$(grep -c . <<<"$others" || true)
  total=$((total + api))
  printf '%-26s %6d %10d\n' "$name" "$api" "$templates"
  if [ "$api" -eq 0 ]; then
    echo "  $name exports nothing of its own: its public header lost its export macro" >&2
    status=1
  fi
  internal=$(grep -E '^. kestrel::(detail|bench|engines)::|\(anonymous namespace\)' <<<"$symbols" || true)
  if [ -n "$internal" ]; then
    echo "  $name exports internal symbols:" >&2
    head -20 <<<"$internal" | sed 's/^/    /' >&2
    status=1
  fi
  strong=$(grep -vE '^[WVu] ' <<<"$others" | grep . || true)
  if [ -n "$strong" ]; then
    echo "  $name defines symbols outside kestrel:: and heron::" >&2
    head -20 <<<"$strong" | sed 's/^/    /' >&2
    status=1
  fi
done
printf '%-26s %6d\n' total "$total"
exit "$status"
