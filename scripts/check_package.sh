#!/usr/bin/env bash
# Checks a kestrel Debian package against the build it came from and the README:
#  1. its file name and fields, and its files against the README's list
#     ("Installing the package"): every promised path is there, every file is
#     promised;
#  2. it is unpacked with `dpkg -x` into a scratch root (no root rights, nothing
#     on this machine changes, and the build's own files cannot stand in for
#     missing ones: all that runs below runs from the scratch root); its
#     headers include only headers it installs;
#  3. every library an ELF file of it needs is either in it or in a Debian
#     package its Depends names, and no run path leaves the package;
#  4. the unpacked command values the example book exactly as the build's does,
#     `import kestrel` works from the unpacked Python package on its bundled
#     store, and tests/consumer builds against the unpacked CMake package alone
#     and runs.
#   scripts/check_package.sh DEB BUILD_DIR
set -euo pipefail
root_src=$(cd "$(dirname "$0")/.." && pwd)
deb=$(realpath "$1")
build=$(realpath "$2")
work=$(mktemp -d "${TMPDIR:-/tmp}/kestrel-package.XXXXXX")
trap 'rm -rf "$work"' EXIT
fail() { echo "check_package: $*" >&2; exit 1; }

echo "-- package $(basename "$deb")"
version=$(dpkg-deb -f "$deb" Version)
arch=$(dpkg-deb -f "$deb" Architecture)
[ "$(dpkg-deb -f "$deb" Package)" = kestrel ] || fail "package name is not kestrel"
[ "$(basename "$deb")" = "kestrel_${version}_${arch}.deb" ] || fail "file name is not kestrel_${version}_${arch}.deb"
depends=$(dpkg-deb -f "$deb" Depends)
depend_names=$(printf '%s\n' "$depends" | tr ',' '\n' | sed -E 's/^ *([^ (]+).*/\1/' | sort -u)

# 1. Contents against the README's list: backquoted /usr paths in the table of
# its section "Installing the package" (shell patterns).
promised=$(awk '/^## /{on = ($0 ~ /^## Installing the package/)} on && /^\| *`\/usr/' "$root_src/README.md" |
           sed -E 's/^\| *`([^`]+)`.*/\1/')
[ -n "$promised" ] || fail "README.md lists no package contents (section \"Installing the package\")"
# A pattern's * stands for names within one folder: a path matches only a
# pattern of as many folders.
matches() {
  # shellcheck disable=SC2053
  [[ $1 == $2 && ${1//[^\/]/} == "${2//[^\/]/}" ]]
}
files=$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { print $6 }' | sed 's/^\.//')
while read -r pattern; do
  found=0
  while read -r f; do
    if matches "$f" "$pattern"; then found=1; break; fi
  done <<<"$files"
  [ $found = 1 ] || fail "README promises $pattern; the package has no such file"
done <<<"$promised"
while read -r f; do
  covered=0
  while read -r pattern; do
    if matches "$f" "$pattern"; then covered=1; break; fi
  done <<<"$promised"
  [ $covered = 1 ] || fail "the package holds $f, which README.md does not list"
done <<<"$files"
echo "-- contents: $(wc -l <<<"$files") files, as README.md lists them"

# 2. Unpack.
root=$work/root
dpkg -x "$deb" "$root"

# The installed headers include only installed kestrel and heron headers.
while read -r h; do
  for inc in $(sed -n 's/^#include <\(\(kestrel\|heron\)\/[^>]*\)>.*/\1/p' "$h"); do
    [ -f "$root/usr/include/$inc" ] || fail "${h#"$root"} includes <$inc>, which the package does not install"
  done
done < <(find "$root/usr/include" -name '*.hpp')

# 3. What the ELF files need.
while read -r f; do
  [ "$(head -c 4 "$f" | od -An -c | tr -d ' ')" = '177ELF' ] || continue
  readelf -d "$f" | sed -n 's/.*(RUNPATH).*\[\(.*\)\]/\1/p; s/.*(RPATH).*\[\(.*\)\]/\1/p' | tr ':' '\n' | while read -r p; do
    [ -z "$p" ] || [[ $p == '$ORIGIN'* ]] || fail "${f#"$root"} has run path $p outside the package"
  done
  for lib in $(readelf -d "$f" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p'); do
    if [ -n "$(find "$root" -name "$lib" -print -quit)" ]; then continue; fi
    path=$(ldconfig -p | awk -v l="$lib" '$1 == l && /x86-64/ && !p { p = $NF } END { print p }')
    [ -n "$path" ] || fail "${f#"$root"} needs $lib, found neither in the package nor on this system"
    owner=""
    for candidate in "$path" "$(realpath "$path")" "${path#/usr}" "/usr$path" "$(realpath "$path" | sed 's,^/usr,,')"; do
      owner=$(dpkg -S "$candidate" 2>/dev/null | sed -n '1s/:.*//p' || true)
      [ -z "$owner" ] || break
    done
    [ -n "$owner" ] || fail "no Debian package owns $path (needed by ${f#"$root"})"
    grep -qx "$owner" <<<"$depend_names" || fail "${f#"$root"} needs $lib from $owner, which Depends does not name ($depends)"
  done
done < <(find "$root" -type f)
echo "-- Depends: $depends"

# 4. Use it.
usr=$root/usr
args=(book "$usr/share/kestrel/examples/book.json" --market "$usr/share/kestrel/examples/market.json"
      --greeks --stats --format json --date 2024-12-31)
env -u LD_LIBRARY_PATH "$usr/bin/kestrel" "${args[@]}" >"$work/installed.json"
"$build/bin/kestrel" "${args[@]}" >"$work/built.json"
cmp "$work/installed.json" "$work/built.json" || fail "the unpacked kestrel values the example book differently"
if env -u LD_LIBRARY_PATH ldd "$usr/bin/kestrel" | grep -F "$build"; then fail "the unpacked kestrel loads libraries from the build"; fi
gzip -dc "$usr/share/man/man1/kestrel.1.gz" | grep -q '^\.SS kestrel book' || fail "the man page has no section for kestrel book"
echo "-- the unpacked kestrel values the example book as the build does"

site=$(dirname "$(find "$usr/lib" -path '*/kestrel/__init__.py' -print -quit)")
[ -n "$site" ] && [ "$site" != . ] || fail "no Python package kestrel in the package"
(cd "$work" && env -u LD_LIBRARY_PATH PYTHONPATH="$(dirname "$site")" PYTHONDONTWRITEBYTECODE=1 /usr/bin/python3 - "$root" <<'PY'
import sys
import kestrel
root = sys.argv[1]
assert kestrel.__file__.startswith(root), f"kestrel imported from {kestrel.__file__}, not the unpacked package"
store = kestrel.heron.bundled_store()
assert type(store).__name__ == "SqliteStore", f"bundled store is a {type(store).__name__}"
kestrel.heron.install(store)
terms = {"type": "vanilla", "underlying": "000300.XSHG", "effect_date": "2025-01-02",
         "maturity_date": "2025-12-31", "s0": 3820.3952, "notional": 1.0, "call_put": "call",
         "strike": 3900.0, "exercise_type": "european", "payoff_type": "plain_vanilla"}
npv = kestrel.make_option(terms).npv(3936.0791, 0.018, 0.2, 0.015, "2025-06-30")
assert npv > 0, npv
print(f"-- import kestrel from the unpacked package: vanilla npv {npv:.6f}")
PY
) || fail "import kestrel from the unpacked package failed"

cmake -S "$root_src/tests/consumer" -B "$work/consumer" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_PREFIX_PATH="$usr" -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF >/dev/null
grep -q "^kestrel_DIR:PATH=$usr/" "$work/consumer/CMakeCache.txt" || fail "the consumer did not find the unpacked CMake package"
cmake --build "$work/consumer" >/dev/null
env -u LD_LIBRARY_PATH "$work/consumer/consumer" "$usr/share/kestrel/prices.db" >/dev/null ||
  fail "the consumer built against the unpacked package failed"
echo "-- tests/consumer builds and runs against the unpacked CMake package"
