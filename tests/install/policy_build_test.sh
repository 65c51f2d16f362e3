# A build with a policy built in (IPVEIL_POLICY_FILE), in a scratch tree: a
# truncating policy is refused at configure time, a malformed one fails the
# build naming its line, and a good one makes ipveil give the anonymizer's
# images under that policy, ipveil-reveal turn them back, and ipveil-pcap
# apply it by default (the same capture and key id as --policy in the
# ordinary build).
#
#   policy_build_test.sh SOURCE_DIR CXX DEFAULT_KEY IPVEIL_PCAP WRITE_TEST_CAPTURES POLICY_IMAGES
source "$(dirname "$0")/../shell_test_support.sh"
source_dir=$1 cxx=$2 default_key=$3 pcap=$4 writer=$5 images=$6
require_commands cmake
build=$scratch/build
configure() {
    cmake -S "$source_dir" -B "$build" -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_BUILD_TYPE=Release \
        -DIPVEIL_BUILD_TESTS=OFF -DIPVEIL_POLICY_FILE="$1" >"$scratch/log" 2>&1
}
cd "$scratch"

printf 'special\n# aggregate\n  truncate4 24\n' >truncating
! configure "$scratch/truncating" || fail "a truncating built-in policy was configured"
grep -q "truncating truncates images," log || fail "no clear message: $(cat log)"

printf 'special\npreserve 10.1.0.1/16\n' >malformed
configure "$scratch/malformed" || fail "configure: $(cat log)"
! cmake --build "$build" --target ipveil -j2 >log 2>&1 || fail "a malformed built-in policy was built"
grep -q "IPVEIL_POLICY_FILE $scratch/malformed: policy line 2: " log || fail "no line named: $(tail -n 20 log)"

cat >policy <<'POLICY'
special
preserve 10.1.0.0/16
keep 198.51.100.0/24
POLICY
configure "$scratch/policy" || fail "configure: $(cat log)"
cmake --build "$build" --target ipveil ipveil-reveal ipveil-pcap -j2 >log 2>&1 || fail "build: $(tail -n 20 log)"

# Addresses in and around the rules, and random ones.
python3 - >trace.txt <<'PY'
import ipaddress, random
rng = random.Random(7)
fixed = ["10.1.2.3", "10.1.255.255", "10.2.0.1", "198.51.100.7", "198.51.101.7", "127.0.0.1", "0.0.0.0",
         "255.255.255.255", "224.0.0.251", "192.168.1.1", "::1", "::", "ff02::1:ff00:1", "fe80::1", "2001:db8::5"]
rand = [str(ipaddress.IPv4Address(rng.getrandbits(32))) for _ in range(200)]
rand += [str(ipaddress.IPv6Address(rng.getrandbits(128))) for _ in range(200)]
for i, a in enumerate(fixed + rand):
    print(f"{i}.5 {60 + i} {a}")
PY
(umask 077 && echo "$default_key" >default.key)
"$build/ipveil" trace.txt >built.out || fail "ipveil with a built-in policy failed"
"$images" default.key policy trace.txt >expected.out || fail "policy_images failed"
cmp -s <(cut -f 3 built.out) <(cut -f 3 expected.out) ||
    fail "ipveil's images are not the policy's: $(diff built.out expected.out | head)"
grep -qP '\t198\.51\.100\.7$' built.out || fail "a kept address changed"
"$build/ipveil-reveal" built.out >revealed.out || fail "ipveil-reveal with a built-in policy failed"
cmp -s <(awk '{ print $3 }' trace.txt) <(cut -f 3 revealed.out) || fail "ipveil-reveal does not give the trace back"

mkdir in
"$writer" in
"$build/ipveil-pcap" in/all.pcapng built.pcapng 2>/dev/null || fail "ipveil-pcap with a built-in policy failed"
"$pcap" --policy policy in/all.pcapng given.pcapng 2>/dev/null || fail "ipveil-pcap --policy failed"
cmp -s built.pcapng given.pcapng || fail "ipveil-pcap does not apply the built-in policy"
[[ $("$build/ipveil-pcap" --print-key-id) == $("$pcap" --policy policy --print-key-id) ]] ||
    fail "the built-in policy's key id differs"
