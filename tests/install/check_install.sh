#!/usr/bin/env bash
# Checks what a user gets from this build:
#   check_install.sh tree <build dir> <source dir>
#     cmake --install into a scratch prefix: the files, the engine running the basic example from
#     the installed documentation, and the manual pages rendering through man without a warning.
#   check_install.sh deb <build dir> <source dir>
#     cpack -G DEB: the package's name and control fields, the same files as an install under /usr,
#     and the engine taken out of it running the basic example.
set -euo pipefail
[[ $# -eq 3 && ($1 == tree || $1 == deb) ]] || { echo "usage: check_install.sh tree|deb <build dir> <source dir>" >&2; exit 2; }
mode=$1 build=$2 source=$3
scratch=$(mktemp -d "${TMPDIR:-/tmp}/tessamer-install-XXXXXX")
trap 'rm -rf "$scratch"' EXIT

fail() { echo "FAIL: $*" >&2; exit 1; }

# Runs <engine> on examples/basic from a copy of <docdir>/examples, as the README tells a user to,
# and holds its result (timings aside) and report to the ones committed with the example.
run_basic_example() {  # run_basic_example <engine> <docdir>
  local work=$scratch/run-$RANDOM
  mkdir -p "$work"
  cp -r "$2/examples" "$work/"
  (cd "$work" && "$1" --request examples/basic/request.json) >"$work/stdout" || fail "$1 exited with $?"
  sed -E 's/"(durationMs|throughputBytesPerSecond)":[0-9]+/"\1":0/g' "$work/stdout" | cmp -s - "$source/examples/basic/result.json" ||
    fail "$1: result differs from examples/basic/result.json: $(cat "$work/stdout")"
  cmp -s "$work/build/example/divergences.jsonl" "$source/examples/basic/divergences.jsonl" || fail "$1: report differs"
}

# The files that an install of this source tree holds, relative to the prefix, sorted.
expected_files() {
  {
    echo bin/tessamer
    for page in "$source"/man/*.1; do echo "share/man/man1/${page##*/}"; done
    for schema in "$source"/schemas/*.json; do echo "share/tessamer/schemas/${schema##*/}"; done
    echo share/doc/tessamer/README.md
    (cd "$source" && find examples -type f) | sed 's|^|share/doc/tessamer/|'
  } | sort
}

case $mode in
  tree)
    cmake --install "$build" --prefix "$scratch/prefix" >/dev/null
    prefix=$scratch/prefix
    # Other programs of the project may install beside the engine; everything of the engine's must be there.
    missing=$(comm -23 <(expected_files) <(cd "$prefix" && find . -type f | sed 's|^\./||' | sort))
    [[ -z $missing ]] || fail "not installed: $missing"
    [[ -x $prefix/bin/tessamer ]] || fail "bin/tessamer is not executable"
    run_basic_example "$prefix/bin/tessamer" "$prefix/share/doc/tessamer"
    for page in "$prefix"/share/man/man1/*.1; do
      text=$(MANROFFOPT=-ww MANWIDTH=80 MANPAGER=cat PAGER=cat man -l "$page" 2>"$scratch/man.err") || fail "man -l $page failed"
      [[ ! -s $scratch/man.err ]] || fail "man -l $page warns: $(cat "$scratch/man.err")"
      grep -q '^NAME' <<<"$text" || fail "man -l $page shows no NAME section"
    done
    ;;
  deb)
    cpack --config "$build/CPackConfig.cmake" -G DEB -B "$scratch/package" >"$scratch/cpack.log" 2>&1 ||
      fail "cpack failed: $(cat "$scratch/cpack.log")"
    version=$(sed -n 's/^set(CPACK_PACKAGE_VERSION "\(.*\)")$/\1/p' "$build/CPackConfig.cmake")
    deb=$scratch/package/tessamer_${version}_$(dpkg --print-architecture).deb
    [[ -f $deb ]] || fail "no $deb; made: $(ls "$scratch/package")"
    field() { dpkg-deb -f "$deb" "$1"; }
    [[ $(field Package) == tessamer && $(field Version) == "$version" ]] || fail "package name or version"
    [[ $(field Maintainer) =~ ^.+\ \<.+@.+\>$ ]] || fail "maintainer field: $(field Maintainer)"
    [[ -n $(field Description) ]] || fail "no description"
    # Dependencies come from the binaries: none for a static engine, the C library at least otherwise.
    DESTDIR=$scratch/usr-tree cmake --install "$build" --prefix /usr >/dev/null
    if readelf -d "$scratch/usr-tree/usr/bin/tessamer" | grep -q NEEDED; then
      [[ $(field Depends) == *libc6* ]] || fail "dynamic engine, but Depends is '$(field Depends)'"
    else
      [[ -z $(field Depends) ]] || fail "static engine, but Depends is '$(field Depends)'"
    fi
    diff <(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ {print $6}' | sed 's|^\./||' | sort) \
         <(cd "$scratch/usr-tree" && find . -type f | sed 's|^\./||' | sort) >"$scratch/diff" ||
      fail "package and install tree differ: $(cat "$scratch/diff")"
    dpkg-deb -x "$deb" "$scratch/extracted"
    run_basic_example "$scratch/extracted/usr/bin/tessamer" "$scratch/extracted/usr/share/doc/tessamer"
    ;;
esac
echo "$mode: ok"
