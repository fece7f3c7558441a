#!/usr/bin/env bash
# Checks what a user gets from this build:
#   check_install.sh tree <build dir> <source dir>
#     cmake --install into a scratch prefix: the files, the engine running the basic example from
#     the installed documentation, the manual pages rendering through man without a warning, the
#     standalone schemas, and the Python module and tessamer-check working from the prefix.
#   check_install.sh deb <build dir> <source dir>
#     cpack -G DEB: both packages' names and control fields, together the same files as an
#     install under /usr; then both installed with dpkg into a fresh root that holds nothing but
#     python3, used there (the engine, import tessamer, tessamer-check), and removed without a trace.
#   check_install.sh lintian <build dir> <source dir>
#     lintian on both packages: no error and no warning that is not overridden with a reason.
set -euo pipefail
[[ $# -eq 3 && ($1 == tree || $1 == deb || $1 == lintian) ]] ||
  { echo "usage: check_install.sh tree|deb|lintian <build dir> <source dir>" >&2; exit 2; }
mode=$1 build=$2 source=$3
scratch=$(mktemp -d "${TMPDIR:-/tmp}/tessamer-install-XXXXXX")
trap 'rm -rf "$scratch"' EXIT
python=/usr/bin/python3

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

# Imports the module from <prefix>'s dist-packages and runs <prefix>/bin/tessamer-check, with
# the prefix's programs first on PATH, on the basic example of <docdir>: a FAIL, exit status 1.
run_python() {  # run_python <prefix> <docdir>
  local modules=$1/lib/python3/dist-packages work=$scratch/python-$RANDOM
  local where project
  where=$(env -u PYTHONDONTWRITEBYTECODE PYTHONPATH="$modules" "$python" -c 'import tessamer; print(tessamer.__file__, tessamer.__version__)') ||
    fail "import tessamer failed from $modules"
  project=$(sed -n 's/^set(CPACK_PACKAGE_VERSION "\(.*\)")$/\1/p' "$build/CPackConfig.cmake")
  [[ $where == "$modules/tessamer/__init__.py $project" ]] || fail "import tessamer found $where, not the installed module $project"
  mkdir -p "$work"
  cp -r "$2/examples/basic/." "$work/"
  local status=0
  (cd "$work" && PATH="$1/bin:$PATH" PYTHONPATH="$modules" "$1/bin/tessamer-check" expected.csv actual.csv) \
    >"$work/stdout" 2>"$work/stderr" || status=$?
  [[ $status -eq 1 && $(head -1 "$work/stdout") == "FAIL  1 divergence" ]] ||
    fail "tessamer-check on examples/basic: exit status $status, $(cat "$work/stdout" "$work/stderr")"
}

# The files that an install of this source tree holds, relative to the prefix, sorted.
expected_files() {
  {
    echo bin/tessamer
    echo bin/tessamer-check
    for page in "$source"/man/*.1; do echo "share/man/man1/${page##*/}.gz"; done
    for schema in "$source"/schemas/*.json; do echo "share/tessamer/schemas/${schema##*/}"; done
    for doc in README.md copyright changelog.Debian.gz; do echo "share/doc/tessamer/$doc"; done
    (cd "$source" && find examples -type f) | sed 's|^|share/doc/tessamer/|'
    echo share/doc/python3-tessamer/copyright
    echo share/doc/python3-tessamer/changelog.Debian.gz
    echo share/lintian/overrides/tessamer
    echo share/lintian/overrides/python3-tessamer
    (cd "$source/python" && find tessamer -name '*.py') | sed 's|^|lib/python3/dist-packages/|'
  } | sort
}

make_packages() {
  cpack --config "$build/CPackConfig.cmake" -G DEB -B "$scratch/package" >"$scratch/cpack.log" 2>&1 ||
    fail "cpack failed: $(cat "$scratch/cpack.log")"
  version=$(sed -n 's/^set(CPACK_PACKAGE_VERSION "\(.*\)")$/\1/p' "$build/CPackConfig.cmake")-$(
    sed -n 's/^set(CPACK_DEBIAN_PACKAGE_RELEASE "\(.*\)")$/\1/p' "$build/CPackConfig.cmake")
  engine_deb=$scratch/package/tessamer_${version}_$(dpkg --print-architecture).deb
  python_deb=$scratch/package/python3-tessamer_${version}_all.deb
  [[ -f $engine_deb && -f $python_deb ]] || fail "no $engine_deb and $python_deb; made: $(ls "$scratch/package")"
}

case $mode in
  tree)
    cmake --install "$build" --prefix "$scratch/prefix" >/dev/null
    prefix=$scratch/prefix
    # Other programs of the project may install beside the engine; everything of the engine's must be there.
    missing=$(comm -23 <(expected_files) <(cd "$prefix" && find . -type f | sed 's|^\./||' | sort))
    [[ -z $missing ]] || fail "not installed: $missing"
    [[ -x $prefix/bin/tessamer && -x $prefix/bin/tessamer-check ]] || fail "a program is not executable"
    run_basic_example "$prefix/bin/tessamer" "$prefix/share/doc/tessamer"
    for page in "$prefix"/share/man/man1/*.1.gz; do
      text=$(MANROFFOPT=-ww MANWIDTH=80 MANPAGER=cat PAGER=cat man -l "$page" 2>"$scratch/man.err") || fail "man -l $page failed"
      [[ ! -s $scratch/man.err ]] || fail "man -l $page warns: $(cat "$scratch/man.err")"
      grep -q '^NAME' <<<"$text" || fail "man -l $page shows no NAME section"
      grep -q '^SEE ALSO' <<<"$text" || fail "man -l $page has no SEE ALSO"
    done
    for schema in "$prefix"/share/tessamer/schemas/*.json; do
      cmp -s "$schema" "$build/schemas/${schema##*/}" || fail "$schema is not the build's bundle"
    done
    run_python "$prefix" "$prefix/share/doc/tessamer"
    ;;
  deb)
    make_packages
    field() { dpkg-deb -f "$1" "$2"; }
    for deb in "$engine_deb" "$python_deb"; do
      [[ $(field "$deb" Version) == "$version" ]] || fail "$deb: version $(field "$deb" Version)"
      [[ $(field "$deb" Maintainer) =~ ^.+\ \<.+@.+\>$ ]] || fail "$deb: maintainer field: $(field "$deb" Maintainer)"
    done
    [[ $(field "$engine_deb" Package) == tessamer && $(field "$python_deb" Package) == python3-tessamer ]] ||
      fail "package names"
    [[ $(field "$engine_deb" Maintainer) == "$(field "$python_deb" Maintainer)" ]] || fail "two maintainers"
    description=$(field "$engine_deb" Description)
    [[ $description == *tessamer-summary* ]] || fail "the description does not name tessamer-summary: $description"
    [[ $(field "$python_deb" Architecture) == all ]] || fail "python3-tessamer is not Architecture: all"
    [[ $(field "$python_deb" Depends) == "tessamer (= $version), python3 (>= 3.11)" ]] ||
      fail "python3-tessamer Depends: $(field "$python_deb" Depends)"
    # Dependencies come from the binaries: none for a static engine, the C library at least otherwise.
    DESTDIR=$scratch/usr-tree cmake --install "$build" --prefix /usr >/dev/null
    if readelf -d "$scratch/usr-tree/usr/bin/tessamer" | grep -q NEEDED; then
      [[ $(field "$engine_deb" Depends) == *libc6* ]] || fail "dynamic engine, but Depends is '$(field "$engine_deb" Depends)'"
    else
      [[ -z $(field "$engine_deb" Depends) ]] || fail "static engine, but Depends is '$(field "$engine_deb" Depends)'"
    fi
    contents() { dpkg-deb -c "$1" | awk '$1 !~ /^d/ {print $6}' | sed 's|^\./||' | sort; }
    [[ -z $(comm -12 <(contents "$engine_deb") <(contents "$python_deb")) ]] || fail "a file is in both packages"
    diff <(sort <(contents "$engine_deb") <(contents "$python_deb")) \
         <(cd "$scratch/usr-tree" && find . -type f | sed 's|^\./||' | sort) >"$scratch/diff" ||
      fail "packages and install tree differ: $(cat "$scratch/diff")"
    for package in tessamer python3-tessamer; do
      dpkg-deb --fsys-tarfile "$([[ $package == tessamer ]] && echo "$engine_deb" || echo "$python_deb")" |
        tar -xO "./usr/share/doc/$package/changelog.Debian.gz" | zcat | head -1 | grep -qF "tessamer ($version) " ||
        fail "$package: the changelog's first entry is not $version"
    done
    grep -q '^Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/$' \
      "$scratch/usr-tree/usr/share/doc/tessamer/copyright" || fail "copyright is not in the machine-readable format"
    grep -q '^License: Apache-2.0$' "$scratch/usr-tree/usr/share/doc/tessamer/copyright" || fail "copyright: no Apache-2.0"

    # A fresh root whose package database holds python3 and what the engine's binaries link to
    # (nothing for the static ones): both packages install there with nothing else, work, and
    # leave nothing behind when removed (byte code included).
    root=$scratch/root
    mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates"
    linked=$(field "$engine_deb" Depends | tr ',' '\n' | sed -E 's/^ *([^ :|(]+).*/\1/')
    for package in python3 $linked; do dpkg-query -s "$package"; echo; done >"$root/var/lib/dpkg/status"
    in_root() { dpkg --root="$root" --force-not-root --force-script-chrootless --log=/dev/null "$@" >"$scratch/dpkg.log" 2>&1 ||
      fail "dpkg $*: $(cat "$scratch/dpkg.log")"; }
    in_root -i "$engine_deb" "$python_deb"
    run_basic_example "$root/usr/bin/tessamer" "$root/usr/share/doc/tessamer"
    run_python "$root/usr" "$root/usr/share/doc/tessamer"
    [[ -d $root/usr/lib/python3/dist-packages/tessamer/__pycache__ ]] || fail "python wrote no byte code to clean up"
    in_root -r python3-tessamer tessamer
    left=$(cd "$root" && find . -mindepth 1 -not -path './var' -not -path './var/*')
    [[ -z $left ]] || fail "removing the packages left: $left"
    ;;
  lintian)
    make_packages
    # lintian exits 2 on an error or warning that is not overridden (--show-overrides would count
    # the overridden ones too); each block of overrides has its reason in the comment line above it.
    lintian --fail-on error,warning --info "$engine_deb" "$python_deb" >"$scratch/lintian.log" 2>&1 ||
      fail "lintian: $(cat "$scratch/lintian.log")"
    for overrides in "$source"/packaging/*.lintian-overrides; do
      awk '/^[^#]/ && (NR == 1 || previous == "") {exit 1} {previous = $0}' "$overrides" ||
        fail "$overrides: an override without a one-line reason above it"
    done
    ;;
esac
echo "$mode: ok"
