#!/usr/bin/env bash
# mksetup as a publisher gets it: installed by `cmake --install` and from its Debian
# package into throw-away roots, each builds the demo installer byte for byte the
# same as the build's own, without --stub; --version and the manual page check out.
#   install_test.sh NATIVE_BUILD_DIR SOURCE_DIR VERSION
set -u
build=$1 source=$2 version=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
fail() { echo "FAILED: $*" >&2; failures=$((failures + 1)); }
demo="$source/out/setup32.exe" payload="$source/out/payload"
[ -f "$demo" ] || { echo "install_test: $demo is missing: scripts/build.sh makes it" >&2; exit 1; }

# Builds the demo payload with MKSETUP and no --stub: same bytes, and the stub named.
check_build() {  # label, mksetup, expected stub
    local label=$1 tool=$2 stub=$3 out
    out=$("$tool" build --out "$work/$label.exe" "$payload" 2>"$work/$label.err") \
        || { fail "$label: build failed: $(cat "$work/$label.err")"; return; }
    grep -qxF "installer program: $stub" <<<"$out" || fail "$label: the stub used is not named as $stub: $out"
    cmp -s "$work/$label.exe" "$demo" || fail "$label: the installer differs from out/setup32.exe"
}

# cmake --install into a prefix of its own.
prefix="$work/prefix"
cmake --install "$build" --prefix "$prefix" >"$work/install.log" 2>&1 || fail "cmake --install: $(cat "$work/install.log")"
for f in bin/mksetup share/setup32/setup32-stub.exe share/man/man1/mksetup.1.gz; do
    [ -f "$prefix/$f" ] || fail "cmake --install left no $f"
done
check_build installed "$prefix/bin/mksetup" "$prefix/share/setup32/setup32-stub.exe"
[ "$("$prefix/bin/mksetup" --version)" = "mksetup $version" ] || fail "--version: $("$prefix/bin/mksetup" --version)"
[ "$("$prefix/bin/mksetup" -V)" = "mksetup $version" ] || fail "-V: $("$prefix/bin/mksetup" -V)"

# Without a stub beside it, build says so and writes nothing.
mkdir -p "$work/alone"
cp "$prefix/bin/mksetup" "$work/alone/mksetup"
if "$work/alone/mksetup" build --out "$work/alone.exe" "$payload" >/dev/null 2>"$work/alone.err"; then
    fail "a build without any stub succeeded"
fi
grep -q 'no installer program found beside mksetup' "$work/alone.err" || fail "no stub: $(cat "$work/alone.err")"
[ ! -e "$work/alone.exe" ] || fail "a build without any stub left an output"

# The Debian package, installed by dpkg into a root of its own.
(cd "$build" && cpack -G DEB -B "$work/packages" >"$work/cpack.log" 2>&1) || fail "cpack: $(cat "$work/cpack.log")"
deb=$(ls "$work"/packages/mksetup_*.deb 2>/dev/null | head -n 1)
if [ -z "$deb" ]; then
    fail "cpack made no .deb"
else
    depends=$(dpkg-deb -f "$deb" Depends)
    grep -q 'libc6' <<<"$depends" || fail "Depends lacks libc6: $depends"
    grep -q 'libstdc++6' <<<"$depends" || fail "Depends lacks libstdc++6: $depends"
    [ "$(dpkg-deb -f "$deb" Recommends)" = osslsigncode ] || fail "Recommends: $(dpkg-deb -f "$deb" Recommends)"
    [ "$(dpkg-deb -f "$deb" Version)" = "$version" ] || fail "Version: $(dpkg-deb -f "$deb" Version)"
    root="$work/root"
    mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates"
    : >"$root/var/lib/dpkg/status"
    # The throw-away root has no libc6 package of its own: the host's libraries serve.
    dpkg --root="$root" --force-depends --force-not-root -i "$deb" >"$work/dpkg.log" 2>&1 \
        || fail "dpkg -i: $(cat "$work/dpkg.log")"
    grep -q '^Status: install ok installed' "$root/var/lib/dpkg/status" || fail "dpkg did not record the package"
    check_build package "$root/usr/bin/mksetup" "$root/usr/share/setup32/setup32-stub.exe"
    [ -f "$root/usr/share/man/man1/mksetup.1.gz" ] || fail "the package has no manual page"
fi

# The manual page reads without warnings and names every command.
warnings=$(man --warnings -l "$source/docs/mksetup.1" 2>&1 >/dev/null)
[ -z "$warnings" ] || fail "man --warnings: $warnings"
page=$(MANWIDTH=80 man -l "$source/docs/mksetup.1" 2>/dev/null)
for command in build list extract compress expand sign balance; do
    grep -q "mksetup $command" <<<"$page" || fail "the manual page does not show 'mksetup $command'"
done

[ $failures -eq 0 ] && echo "install_test: installed tool, package and manual page check out"
exit $((failures > 0))
