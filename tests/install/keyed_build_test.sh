#!/usr/bin/env bash
# Builds with a secret key the way the README tells (a key file made under
# umask 077), in a scratch build tree, and checks how the key is kept: loose
# or malformed key files refused, the key absent from the cache, every file
# that holds it closed to other users, the installed command and the .deb
# restricted, the older -DIPVEIL_KEY closed the same way, and a mapping of its
# own.
#
#   keyed_build_test.sh CHECK SOURCE_DIR WORK_DIR CXX DEFAULT_IPVEIL
# CHECK is one of: loose-file-refused, malformed-file-refused, build (the
# fixture the checks after it use), mapping-differs, cache-holds-no-key,
# tree-closed, installed-restricted, legacy-key-closed, unkeyed-tree-refused,
# in-source-refused, clean.
source "$(dirname "$0")/../shell_test_support.sh"

check=$1 source_dir=$2 work=$3 cxx=$4 default_ipveil=$5
build=$work/build
prefix=$work/prefix
key_file=$work/key  # the key the checks look for; the fixture's unless a check makes its own
# The checks that make a key make it as the README does, with openssl.
case $check in
loose-file-refused | malformed-file-refused | build | legacy-key-closed | unkeyed-tree-refused | in-source-refused)
    require_commands openssl
    ;;
esac

configure() {
    cmake -S "$source_dir" -B "$1" -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_BUILD_TYPE=Release \
        -DIPVEIL_BUILD_TESTS=OFF "${@:2}"
}

# Prints the files under DIR that hold the key: as 64 hex digits in either
# case, as the 0x.. list of the generated header, or as its 32 raw bytes
# (perl, since grep cannot match bytes across a line feed).
key_holders() {
    local key list
    key=$(tr -d '\n' <"$key_file")
    list=$(sed -E 's/(..)/0x\1, /g; s/, $//' <<<"$key")
    find "$1" -type f -print0 | xargs -0 perl -e '
        my ($hex, $list) = (lc shift, lc shift);
        my $raw = pack("H*", $hex);
        for my $path (@ARGV) {
            open(my $file, "<:raw", $path) or next;
            local $/;
            my $data = <$file>;
            print "$path\n" if index($data, $raw) >= 0 || index(lc $data, $hex) >= 0 || index(lc $data, $list) >= 0;
        }' "$key" "$list"
}

# Prints the permission classes (group, other) that can read PATH: every
# directory above it searchable and the file itself readable by that class.
reachable_by() {
    local path=$1 class bit_x bit_r dir
    for class in group other; do
        if [[ $class == group ]]; then bit_x=8 bit_r=32; else bit_x=1 bit_r=4; fi
        (( 8#$(stat -c %a "$path") & bit_r )) || continue
        dir=$(dirname "$path")
        while :; do
            (( 8#$(stat -c %a "$dir") & bit_x )) || continue 2
            [[ $dir == / ]] && break
            dir=$(dirname "$dir")
        done
        echo "$class"
    done
}

case $check in
loose-file-refused)
    # Any permission for group or others is refused, not only reading.
    for mode in 640 604 620 602; do
        (umask 077; openssl rand -hex 32 >"$scratch/key")
        chmod "$mode" "$scratch/key"
        if configure "$scratch/build-$mode" -DIPVEIL_KEY_FILE="$scratch/key" >"$scratch/log" 2>&1; then
            fail "a key file of mode $mode was accepted"
        fi
        grep -q "has mode $mode" "$scratch/log" || fail "no clear message for mode $mode: $(cat "$scratch/log")"
        [[ ! -e $scratch/build-$mode/generated/ipveil_key.h ]] || fail "mode $mode: a key header was written"
    done
    ;;
malformed-file-refused)
    # One trailing line end is allowed, nothing else but the 64 digits.
    digits=$(openssl rand -hex 32)
    for contents in "${digits:1}" "${digits}0" "${digits:1}g" "$digits"$'\n\n' " $digits"; do
        (umask 077; printf '%s' "$contents" >"$scratch/key")
        if configure "$scratch/build" -DIPVEIL_KEY_FILE="$scratch/key" >"$scratch/log" 2>&1; then
            fail "a key file of ${#contents} characters was accepted"
        fi
        grep -q "must be 64 hexadecimal digits" "$scratch/log" || fail "no clear message: $(cat "$scratch/log")"
        ! grep -qF "${digits:8:16}" "$scratch/log" || fail "the message shows the key"
        rm -rf "$scratch/build"
    done
    ;;
build)
    rm -rf "$work"
    mkdir -p "$work"
    # The README's recipe for making the key file, which will not overwrite it.
    make_key() { (umask 077 && mkdir -p "$work/config" && set -C && openssl rand -hex 32 >"$work/config/key"); }
    make_key || fail "the key file was not made"
    cp "$work/config/key" "$work/key.copy"
    ! make_key 2>/dev/null && cmp -s "$work/config/key" "$work/key.copy" || fail "the recipe overwrote the key"
    [[ $(stat -c %a "$work/config") == 700 && $(stat -c %a "$work/config/key") == 600 ]] ||
        fail "the recipe made a key file others can reach"
    rm "$work/key.copy"
    ln -s config/key "$work/key"
    configure "$build" -DIPVEIL_KEY_FILE="$work/key" >"$work/configure.log" 2>&1 ||
        fail "configure: $(cat "$work/configure.log")"
    # Without the tests, everything is the libraries and the commands.
    cmake --build "$build" >"$work/build.log" 2>&1 || fail "build: $(cat "$work/build.log")"
    # A keyed tree may be configured again with its key.
    cmake "$build" >"$work/reconfigure.log" 2>&1 || fail "a keyed tree reconfigured: $(cat "$work/reconfigure.log")"
    cmake --install "$build" --prefix "$prefix" >"$work/install.log" 2>&1 || fail "install: $(cat "$work/install.log")"
    # The .deb too, where the tools CPack needs for it are there.
    if command -v dpkg-shlibdeps >/dev/null && command -v file >/dev/null; then
        cpack --config "$build/CPackConfig.cmake" >"$work/cpack.log" 2>&1 || fail "cpack: $(cat "$work/cpack.log")"
    fi
    ;;
mapping-differs)
    trace=$source_dir/examples/trace.txt
    "$build/ipveil" "$trace" >"$scratch/keyed.out" || fail "the keyed ipveil failed"
    "$default_ipveil" "$trace" >"$scratch/default.out" || fail "the default ipveil failed"
    [[ $(wc -l <"$scratch/keyed.out") -eq $(wc -l <"$trace") ]] || fail "the keyed ipveil wrote a line per record"
    # Same times and sizes; each address's image differs from the public one
    # (two keys agree on one address's 32 bits with probability 2^-32).
    paste "$scratch/keyed.out" "$scratch/default.out" | awk -F '\t' '
        $1 != $4 || $2 != $5 { print "line " NR ": time or size changed"; bad = 1 }
        $3 == $6 { print "line " NR ": same image " $3 " under both keys"; bad = 1 }
        END { exit bad }' || fail "the keyed mapping is not a mapping of its own"
    ;;
cache-holds-no-key)
    grep -q "^IPVEIL_KEY_FILE:FILEPATH=$work/key$" "$build/CMakeCache.txt" || fail "the cache lacks IPVEIL_KEY_FILE"
    [[ -z $(key_holders "$build/CMakeCache.txt") ]] || fail "the cache holds the key"
    ! grep -qi '^IPVEIL_KEY:' "$build/CMakeCache.txt" || fail "the cache has an IPVEIL_KEY entry"
    ;;
tree-closed)
    [[ $(stat -c %a "$build") == 700 ]] || fail "the build tree has mode $(stat -c %a "$build")"
    [[ $(stat -c %a "$build/generated/ipveil_key.h") == 600 ]] || fail "the key header is not 0600"
    holders=$(key_holders "$build")
    # The check must see the key where it is bound to be.
    for expected in "$build/generated/ipveil_key.h" "$build/ipveil"; do
        grep -qxF "$expected" <<<"$holders" || fail "the key was not found in $expected"
    done
    while read -r holder; do
        classes=$(reachable_by "$holder")
        [[ -z $classes ]] || fail "$holder holds the key and its $classes can read it"
    done <<<"$holders"
    ;;
installed-restricted)
    # Every program installed, not only ipveil: each carries the key. The
    # scripts of contrib/ carry none and stay open to all.
    for command in "$prefix"/bin/*; do
        mode=0710
        [[ $(head -c 4 "$command") == $'\x7fELF' ]] || mode=0755
        [[ $(stat -c %#a "$command") == "$mode" ]] ||
            fail "the installed keyed $(basename "$command") has mode $(stat -c %a "$command"), not $mode"
    done
    [[ -x $prefix/bin/ipveil-parallel && -x $prefix/bin/pcap-to-trace ]] || fail "the scripts are not installed"
    [[ -x $prefix/bin/ipveil-pcap ]] || fail "ipveil-pcap is not installed beside ipveil"
    [[ -x $prefix/bin/ipveil-log ]] || fail "ipveil-log is not installed beside ipveil"
    "$prefix/bin/ipveil" "$source_dir/examples/trace.txt" >/dev/null || fail "the installed keyed ipveil does not run"
    # The .deb only where the build step could make one (cpack needs file and
    # dpkg-dev) and dpkg-deb can list it.
    deb=
    [[ ! -d $build/package ]] || deb=$(find "$build/package" -maxdepth 1 -name '*.deb' | head -n 1)
    [[ -n $deb ]] || skip "installed modes checked; no .deb (cpack needs file and dpkg-dev)"
    require_commands dpkg-deb
    commands=$(dpkg-deb -c "$deb" | grep ' \./usr/bin/.' || true)
    grep -q '\./usr/bin/ipveil$' <<<"$commands" || fail "the .deb holds no usr/bin/ipveil"
    scripts=' \./usr/bin/\(ipveil-parallel\|pcap-to-trace\)$'
    [[ $(grep -c "^-rwxr-xr-x root/root .*$scripts" <<<"$commands") -eq 2 ]] ||
        fail "the .deb does not hold the scripts rwxr-xr-x: $commands"
    ! grep -v "$scripts" <<<"$commands" | grep -v '^-rwx--x--- root/root ' ||
        fail "the .deb holds commands not rwx--x---"
    ;;
legacy-key-closed)
    (umask 077; openssl rand -hex 32 >"$scratch/key")
    configure "$scratch/build" -DIPVEIL_KEY="$(cat "$scratch/key")" >"$scratch/log" 2>&1 ||
        fail "configure: $(cat "$scratch/log")"
    grep -q "IPVEIL_KEY puts the secret key into" "$scratch/log" || fail "no warning about the cache"
    [[ $(stat -c %a "$scratch/build") == 700 ]] || fail "the build tree is not closed"
    [[ $(stat -c %a "$scratch/build/generated/ipveil_key.h") == 600 ]] || fail "the key header is not 0600"
    ;;
unkeyed-tree-refused)
    # A tree configured without a key, then with one, by the file and by the
    # digits, and once more with the tree's record of it gone from the cache
    # (as in a tree configured before that record existed): refused each
    # time, and the key is nowhere in the tree, whose files others can read.
    key_file=$scratch/key
    (umask 077; openssl rand -hex 32 >"$key_file")
    tree=$scratch/build
    configure "$tree" >"$scratch/log" 2>&1 || fail "configure without a key: $(cat "$scratch/log")"
    for attempt in file digits file-unrecorded; do
        case $attempt in
        file) key=(-DIPVEIL_KEY_FILE="$key_file") ;;
        digits) key=(-DIPVEIL_KEY="$(cat "$key_file")") ;;
        file-unrecorded) sed -i '/^IPVEIL_TREE_KEYED:/d' "$tree/CMakeCache.txt"; key=(-DIPVEIL_KEY_FILE="$key_file") ;;
        esac
        ! configure "$tree" "${key[@]}" >"$scratch/log" 2>&1 ||
            fail "$attempt: an unkeyed tree was configured with a key"
        grep -q "configured without a key" "$scratch/log" && grep -q "fresh build directory" "$scratch/log" ||
            fail "$attempt: no clear message: $(cat "$scratch/log")"
        [[ -z $(key_holders "$tree") ]] || fail "$attempt: the key was written into $(key_holders "$tree")"
        # The way out the message gives.
        cmake -U IPVEIL_KEY_FILE -U IPVEIL_KEY "$tree" >"$scratch/log" 2>&1 ||
            fail "$attempt: going on without a key failed: $(cat "$scratch/log")"
    done
    ;;
in-source-refused)
    # A keyed configure in the source tree (a copy of it here) is refused and
    # leaves the tree as it was: no CMakeCache.txt, no CMakeFiles/.
    key_file=$scratch/key
    (umask 077; openssl rand -hex 32 >"$key_file")
    copy=$scratch/source
    mkdir "$copy"
    cp -r "$source_dir/CMakeLists.txt" "$source_dir/cmake" "$source_dir/src" "$source_dir/man" "$copy"
    (cd "$copy" && find . | sort) >"$scratch/before"
    ! cmake -S "$copy" -B "$copy" -DCMAKE_CXX_COMPILER="$cxx" -DIPVEIL_KEY_FILE="$key_file" >"$scratch/log" 2>&1 ||
        fail "an in-source keyed configure was accepted"
    grep -q "needs a build directory of its own" "$scratch/log" || fail "no clear message: $(cat "$scratch/log")"
    # What CMake writes on its way out goes once it has exited.
    for ((tries = 0; tries < 100; ++tries)); do
        [[ -e $copy/CMakeCache.txt || -e $copy/CMakeFiles ]] || break
        sleep 0.1
    done
    (cd "$copy" && find . | sort) | diff "$scratch/before" - ||
        fail "the refused configure left files in the source tree"
    ;;
clean)
    rm -rf "$work"
    ;;
*)
    fail "unknown check $check"
    ;;
esac
