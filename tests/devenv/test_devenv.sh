#!/usr/bin/env bash
# tools/devenv as a user meets it, run on the host (`make test`, .ci/run):
#   - in the chroot, the host's files are where they are on the host: the
#     current directory, $HOME, /tmp, an absolute path elsewhere (/var/tmp),
#     the value of --opt=PATH, a path with spaces; what a command writes
#     there is on the host afterwards;
#   - exit statuses pass through unchanged;
#   - a build with nothing to do prints nothing;
#   - the `quarzel` launcher of `make demo` works from another directory.
# The checks of the chroot are skipped when devenv uses the host directly.
set -uo pipefail
top=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
devenv=$top/tools/devenv
failed=0 passed=0

ok() { passed=$((passed + 1)); }
fail() { failed=$((failed + 1)); echo "FAIL: $*" >&2; }
expect_file() {  # PATH CONTENT WHAT
    if [ -f "$1" ] && [ "$(cat "$1")" = "$2" ]; then ok; else fail "$3: $1 does not hold '$2'"; fi
}

work=$(mktemp -d "/tmp/quarzel devenv test.XXXXXX")
vartmp=$(mktemp -d /var/tmp/quarzel-devenv-test.XXXXXX)
homefile=$HOME/.quarzel-devenv-test.$$
trap 'rm -rf "$work" "$vartmp" "$homefile"' EXIT

# A build first (its output is the build's own), then nothing more to build.
"$devenv" true >/dev/null 2>&1 || { echo "FAIL: tools/devenv true" >&2; exit 1; }
out=$("$devenv" true 2>&1)
[ -z "$out" ] && ok || fail "a build with nothing to do printed: $out"

# The launcher, from a folder with spaces, with relative paths.
"$top/tools/install-launcher" "$work/bin" >/dev/null
cp "$top/samples/sample.cif" "$work/sample.cif"  # read with two errors
printf 'data_ok\n_x 1\n' > "$work/ok.cif"
for case in "ok.cif 0" "sample.cif 1" "missing.cif 2"; do
    set -- $case
    (cd "$work" && "$work/bin/quarzel" check "$1" >check.txt 2>&1)
    status=$?
    [ $status = "$2" ] && grep -q "$1" "$work/check.txt" && ok ||
        fail "launcher: quarzel check $1 exited $status, expected $2: $(cat "$work/check.txt")"
done

# The launcher starts fast: with nothing changed it runs no build at all
# (the build stamp stays as it was), and a changed source is built.
stamp=$top/build/release/.quarzel-built
before=$(stat -c %.9Y "$stamp" 2>/dev/null)
times=()
for i in 1 2 3 4 5; do
    start=$(date +%s%N)
    (cd "$work" && "$work/bin/quarzel" check ok.cif >/dev/null 2>&1)
    times+=($(( ($(date +%s%N) - start) / 1000000 )))
done
median=$(printf '%s\n' "${times[@]}" | sort -n | sed -n 3p)
echo "test_devenv: launcher check of a small file: median ${median} ms (${times[*]})"
[ "$(stat -c %.9Y "$stamp" 2>/dev/null)" = "$before" ] && [ -n "$before" ] && ok ||
    fail "launcher: a call with nothing changed rebuilt (or left no build stamp)"
[ "$median" -lt 600 ] && ok || fail "launcher: check of a small file took ${median} ms (median of 5)"
touch -c "$top/src/ext/text_errors.cpp"
(cd "$work" && "$work/bin/quarzel" check ok.cif >/dev/null 2>&1)
[ "$stamp" -nt "$top/src/ext/text_errors.cpp" ] && ok ||
    fail "launcher: a changed source was not built"

for code in 0 1 3 42; do
    QUARZEL_NO_BUILD=1 "$devenv" sh -c "exit $code"
    status=$?
    [ $status = "$code" ] && ok || fail "exit status $code came back as $status"
done

if [ "$(QUARZEL_NO_BUILD=1 "$devenv" printenv QUARZEL_IN_DEVENV)" != chroot ]; then
    echo "test_devenv: $passed passed; the chroot checks skipped (devenv uses this host directly)"
    [ $failed = 0 ]; exit
fi
run() { QUARZEL_NO_BUILD=1 "$devenv" "$@"; }

# A ready root is used without looking at its packages; a package list
# changed since they were installed has them looked at again, which with
# the same lists installs nothing and makes the root quick to use again.
stamp_of_root="${QUARZEL_DEVENV_ROOT:-/var/cache/quarzel/devenv-root}/.quarzel-packages"
touch "$top/tools/packages.txt"
if [ "$(run printenv QUARZEL_IN_DEVENV 2>"$work/setup.txt")" = chroot ] && [ ! -s "$work/setup.txt" ] &&
    [ "$stamp_of_root" -nt "$top/tools/packages.txt" ]; then ok
else fail "a package list newer than the root's packages: $(cat "$work/setup.txt")"
fi

# The current directory (with spaces in its path), relative paths in it.
mkdir -p "$work/sub dir"
(cd "$work" && run sh -c 'pwd > cwd.txt; echo relative > "sub dir/rel.txt"')
expect_file "$work/cwd.txt" "$work" "current directory"
expect_file "$work/sub dir/rel.txt" relative "relative path"

# /tmp, $HOME, and folders outside the top-level ones named as arguments.
run sh -c 'echo tmp > "$1"' sh "$work/tmp.txt"
expect_file "$work/tmp.txt" tmp "/tmp"
[ "$(run printenv HOME)" = "$HOME" ] && ok || fail "HOME inside is not $HOME"
run sh -c 'echo home > "$HOME/$1"' sh "$(basename "$homefile")"
expect_file "$homefile" home "\$HOME"
run sh -c 'echo abs > "$1"' sh "$vartmp/new file.txt"
expect_file "$vartmp/new file.txt" abs "absolute path whose folder exists"
run python3 -c 'import sys; open(sys.argv[1].split("=", 1)[1], "w").write("opt")' --out="$vartmp/opt.txt"
expect_file "$vartmp/opt.txt" opt "--opt=PATH"
echo host > "$vartmp/in.txt"
run sh -c 'cat "$1" > "$2"' sh "$vartmp/in.txt" "$vartmp/copy.txt"
expect_file "$vartmp/copy.txt" host "reading a host file outside the top-level folders"

# The issue's own case: convert writes where it says it wrote.
rm -f "$work/out.parquet"
(cd "$top" && run python3 -m quarzel convert samples/sample.cif "$work/out.parquet" >/dev/null)
[ -s "$work/out.parquet" ] && ok || fail "convert to $work/out.parquet left no file on the host"

# The environment's own system stays its own.
[ "$(run python3 -c 'import sys; print(sys.version_info >= (3, 14))')" = True ] && ok ||
    fail "the environment's python3 is not the one inside"

echo "test_devenv: $passed passed, $failed failed"
[ $failed = 0 ]
