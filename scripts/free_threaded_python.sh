#!/usr/bin/env bash
# Prints the path of a free-threaded CPython 3.13 (python3.13t), building it
# first when this machine has none.
#
# Looks, in turn, for python3.13t on PATH and in PREFIX/bin, where PREFIX is
# $QUILLET_FT_PREFIX or ~/.cache/quillet/python3.13t: outside the clone, so
# that later runs on the same machine reuse it. Failing both, fetches
# Debian's python3.13 source package with the ordinary apt client and a
# private sources list (the machine's own apt configuration is left as it
# is), then builds it with --disable-gil and installs it into PREFIX: about
# five minutes on two cores. Progress goes to stderr, the path to stdout.
set -euo pipefail

prefix="${QUILLET_FT_PREFIX:-$HOME/.cache/quillet/python3.13t}"

is_free_threaded() {
  "$1" -c 'import sys, sysconfig; sys.exit(sysconfig.get_config_var("Py_GIL_DISABLED") != 1)' \
    >/dev/null 2>&1
}

for candidate in "$(command -v python3.13t || true)" "$prefix/bin/python3.13t"; do
  if [ -n "$candidate" ] && [ -x "$candidate" ] && is_free_threaded "$candidate" \
    && "$candidate" -m pip --version >/dev/null 2>&1; then
    echo "$candidate"
    exit 0
  fi
done

work="$(mktemp -d "${TMPDIR:-/tmp}/quillet-ft.XXXXXX")"
trap 'rm -rf "$work"' EXIT
chmod 755 "$work"  # apt downloads as the _apt user
mkdir -p "$work/lists/partial" "$work/cache/archives/partial" "$work/src"

# The same archive the machine's apt names, for the Debian releases that carry
# python3.13; the machine's keyring signs them.
archive="$(cat /etc/apt/sources.list /etc/apt/sources.list.d/*.sources 2>/dev/null \
  | sed -nE 's,^(URIs:[[:space:]]*|deb[[:space:]]+(\[[^]]*\][[:space:]]+)?)(https?://[^[:space:]]*/debian)/?([[:space:]].*)?$,\3,p' \
  | head -n 1 || true)"
archive="${archive:-http://deb.debian.org/debian}"
keyring=/usr/share/keyrings/debian-archive-keyring.gpg
for release in forky trixie; do
  echo "deb-src [signed-by=$keyring] ${archive%/} $release main"
done >"$work/sources.list"
apt_options=(-o "Dir::Etc::sourcelist=$work/sources.list" -o Dir::Etc::sourceparts=/nonexistent
  -o "Dir::State::Lists=$work/lists" -o "Dir::Cache=$work/cache")

echo "fetching python3.13's source package from $archive" >&2
apt-get "${apt_options[@]}" update >&2
# Some index entries have no files behind them: try each listed version, newest first.
fetched=""
for version in $(apt-cache "${apt_options[@]}" showsrc python3.13 | sed -n 's/^Version: //p' | sort -rV); do
  if (cd "$work/src" && apt-get "${apt_options[@]}" source --download-only "python3.13=$version" >&2); then
    fetched="$version"
    break
  fi
  rm -f "$work/src"/*
done
if [ -z "$fetched" ]; then
  echo "no version of python3.13's source package could be fetched" >&2
  exit 1
fi
# Upstream's sources as they are: Debian's patches fit its own packaging (one
# of them turns ensurepip off).
(cd "$work/src" && dpkg-source --no-check --skip-patches -x ./*.dsc tree >&2)

echo "building CPython $fetched with --disable-gil into $prefix" >&2
mkdir -p "$prefix"
(
  cd "$work/src/tree"
  ./configure --disable-gil --prefix="$prefix" --with-ensurepip=no >&2
  make -j"$(nproc)" >&2
  make install >&2
)
python="$prefix/bin/python3.13t"
# pip: from the bundled wheel when the sources carry it, else from PyPI, run
# straight from its wheel.
if ! "$python" -m ensurepip --default-pip >&2; then
  python3 -m pip download --no-deps --dest "$work/pip" pip >&2
  wheel="$(ls "$work"/pip/pip-*.whl)"
  "$python" "$wheel/pip" install --no-index "$wheel" >&2
fi
is_free_threaded "$python"
echo "$python"
