#!/usr/bin/env bash
# Builds the .deb with cpack, checks it with lintian, installs it with apt-get
# (which must find and install its dependencies), runs the installed commands
# on the example trace against the build's own, and removes the package
# again. Also checks that cpack refuses to build the package when file(1) or
# dpkg-shlibdeps is missing, rather than writing one without dependencies.
# Needs root.
#
#   deb_package_test.sh BUILD_DIR SOURCE_DIR
source "$(dirname "$0")/../shell_test_support.sh"

build=$1 source_dir=$2
[[ $(id -u) -eq 0 ]] || skip "installing a package needs root"
require_commands cpack dpkg-deb apt-get file dpkg-shlibdeps
if dpkg-query -W -f='${Status}' ipveil 2>/dev/null | grep -q "install ok installed"; then
    skip "an ipveil package is already installed here; not replacing it"
fi

# Without either tool, in a mount namespace of its own where it is hidden.
if unshare -m true 2>/dev/null; then
    for tool in /usr/bin/file /usr/bin/dpkg-shlibdeps; do
        if unshare -m sh -c 'mount --bind /dev/null "$1" && exec "$2" --config "$3/CPackConfig.cmake"' \
            sh "$tool" "$(command -v cpack)" "$build" >"$scratch/log" 2>&1; then
            fail "cpack built a package without $tool"
        fi
        grep -q "Building the .deb needs" "$scratch/log" || fail "cpack without $tool: $(cat "$scratch/log")"
    done
else
    echo "note: no mount namespace here; cpack without file or dpkg-shlibdeps not tried" >&2
fi

rm -rf "$build/package"
cpack --config "$build/CPackConfig.cmake" >"$scratch/cpack.log" 2>&1 || fail "cpack: $(cat "$scratch/cpack.log")"
debs=("$build"/package/ipveil_*.deb)
[[ ${#debs[@]} -eq 1 && -f ${debs[0]} ]] || fail "cpack did not write one ipveil_*.deb in $build/package"
deb=${debs[0]}
depends=$(dpkg-deb -f "$deb" Depends)
for library in libc6 libstdc++6; do
    [[ $depends == *"$library"* ]] || fail "Depends lacks $library: '$depends'"
done
# The description names every command the package installs, and the
# maintainer is the project's, as the copyright file gives it.
description=$(dpkg-deb -f "$deb" Description)
commands=$(dpkg-deb -c "$deb" | awk '$6 ~ /^\.\/usr\/bin\// { sub(/.*\//, "", $6); print $6 }')
[[ -n $commands ]] || fail "the package installs no command"
for command in $commands; do
    [[ $description =~ (^|[^-a-z])$command([^-a-z]|$) ]] || fail "the description does not name $command: '$description'"
done
maintainer=$(sed -n 's/^Upstream-Contact: //p' "$source_dir/cmake/deb/copyright")
[[ $(dpkg-deb -f "$deb" Maintainer) == "$maintainer" ]] ||
    fail "the package's maintainer is '$(dpkg-deb -f "$deb" Maintainer)', not '$maintainer'"

# Debian's own checks of a package: any error fails the test (warnings are
# shown, not failed on).
if command -v lintian >/dev/null; then
    lintian --fail-on error "$deb" >"$scratch/lintian.log" 2>&1 || fail "lintian: $(cat "$scratch/lintian.log")"
    grep -v '^running with root privileges' "$scratch/lintian.log" >&2 || true
else
    echo "note: lintian is not installed; the package's policy checks not run" >&2
fi

trap 'dpkg -r ipveil >/dev/null 2>&1 || true; rm -rf "$scratch"' EXIT
DEBIAN_FRONTEND=noninteractive apt-get install -y "$deb" >"$scratch/apt.log" 2>&1 ||
    fail "apt-get install: $(cat "$scratch/apt.log")"
[[ $(stat -c %a /usr/bin/ipveil) == 755 ]] || fail "the public-key command installed with mode $(stat -c %a /usr/bin/ipveil)"
for page in ipveil ipveil-reveal ipveil-pcap ipveil-log ipveil-parallel pcap-to-trace; do
    gzip -t "/usr/share/man/man1/$page.1.gz" 2>/dev/null || fail "no compressed man page for $page"
done
[[ -s /usr/share/doc/ipveil/copyright ]] || fail "the package has no copyright file"
for command in ipveil-pcap ipveil-log ipveil-parallel pcap-to-trace; do
    "/usr/bin/$command" --help >/dev/null || fail "the installed $command --help failed"
done
(unset IPVEIL; /usr/bin/ipveil-parallel -j 2 "$source_dir/examples/trace.txt") >"$scratch/parallel.out" ||
    fail "the installed ipveil-parallel failed"
/usr/bin/ipveil "$source_dir/examples/trace.txt" >"$scratch/installed.out" || fail "the installed ipveil failed"
"$build/ipveil" "$source_dir/examples/trace.txt" >"$scratch/built.out"
cmp "$scratch/installed.out" "$scratch/built.out" || fail "the installed ipveil prints something else"
cmp "$scratch/parallel.out" "$scratch/built.out" || fail "the installed ipveil-parallel prints something else"
dpkg -r ipveil >/dev/null || fail "the package does not remove cleanly"
[[ ! -e /usr/bin/ipveil ]] || fail "/usr/bin/ipveil is left after removal"
