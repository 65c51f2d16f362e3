# ipveil-pcap with a key and a policy given at run time: the images are the
# anonymizer's under that key and policy (tshark reads them, policy_images
# computes them); rekeying equals revealing then anonymizing, and anonymizing
# the original under the new key; the key id is one per key and policy, in the
# summary and in the pcapng section header; refused key files and policies
# get their messages and statuses; no output holds the key.
#
#   pcap_keys_test.sh IPVEIL_PCAP WRITE_TEST_CAPTURES POLICY_IMAGES
source "$(dirname "$0")/../shell_test_support.sh"
pcap=$1 writer=$2 images=$3
check=$(dirname "$0")/pcap_tshark_check.py
require_commands tshark capinfos python3 od
cd "$scratch"
mkdir in
"$writer" in
umask 077
key_a=$(od -An -tx1 -N32 /dev/urandom | tr -d ' \n')
key_b=$(od -An -tx1 -N32 /dev/urandom | tr -d ' \n')
echo "$key_a" >a.key
printf '%s' "$key_b" >b.key
cat >policy <<'POLICY'
# what stays recognisable
special
preserve 10.1.0.0/16
keep 198.51.100.0/24
preserve 2001:db8::/32
POLICY
# The same policy written otherwise: another order, comments, a repeat, and
# `special` given by --keep-special.
printf 'preserve 2001:db8::/32\n\n  keep 198.51.100.0/24 # kept\npreserve 10.1.0.0/16\npreserve 10.1.0.0/16\n' >same

# The images are the anonymizer's under the key and policy, in every place
# tshark finds an address; rekeying gives, byte for byte, what revealing
# then anonymizing gives, and what anonymizing the original under the new
# key gives.
for input in in/*; do
    name=$(basename "$input")
    run() { "$pcap" "$@" 2>>log.txt || fail "$name: ipveil-pcap $*: status $?"; }
    run --key-file a.key --policy policy --keep-payload "$input" "a-$name"
    python3 "$check" "$images" "$input" "a-$name" whole a.key policy >/dev/null
    run --key-file a.key --policy same --keep-special --keep-payload "$input" "same-$name"
    cmp -s "a-$name" "same-$name" || fail "$name: the same policy written otherwise maps otherwise"
    run --key-file a.key --policy policy --rekey b.key "a-$name" "rekeyed-$name"
    run --key-file a.key --policy policy --reveal "a-$name" "revealed-$name"
    run --key-file b.key --policy policy --keep-payload "revealed-$name" "b-$name"
    cmp -s "rekeyed-$name" "b-$name" || fail "$name: rekeying is not revealing then anonymizing"
    run --key-file b.key --policy policy --keep-payload "$input" "direct-$name"
    cmp -s "rekeyed-$name" "direct-$name" || fail "$name: rekeying is not anonymizing the original under the new key"
    # MACs kept stay kept through rekeying.
    run --key-file a.key --keep-mac --keep-payload "$input" "m-$name"
    run --key-file a.key --keep-mac --rekey b.key "m-$name" "mr-$name"
    run --key-file b.key --keep-mac --keep-payload "$input" "mb-$name"
    cmp -s "mr-$name" "mb-$name" || fail "$name: rekeying with --keep-mac differs"
done

# No output holds the key, in its digits or its bytes.
for key in "$key_a" "$key_b"; do
    ! grep -qi "$key" log.txt || fail "the key stands in a message"
done
python3 - "$key_a" "$key_b" *-* <<'PY' || fail "an output holds a key"
import sys
keys = [bytes.fromhex(k) for k in sys.argv[1:3]]
for path in sys.argv[3:]:
    data = open(path, "rb").read()
    if any(k in data or k.hex().encode() in data.lower() for k in keys):
        sys.exit(f"{path} holds a key")
PY

# The key id: equal for the same key and policy however written, different
# for another key or policy; the one in the summary and the section header.
id() { "$pcap" "$@" --print-key-id; }
id_a=$(id --key-file a.key --policy policy)
[[ $id_a =~ ^[0-9a-f]{16}$ ]] || fail "key id '$id_a'"
[[ $(id --key-file a.key --policy same --keep-special) == "$id_a" ]] || fail "the same policy has another key id"
declare -A seen=([$id_a]=1)
for other in "--key-file b.key --policy policy" "--key-file a.key" "--key-file a.key --keep-special" \
             "--policy policy" ""; do
    # shellcheck disable=SC2086
    got=$(id $other)
    [[ -z ${seen[$got]:-} ]] || fail "'$other' repeats key id $got"
    seen[$got]=1
done
"$pcap" --key-file a.key --policy policy in/all.pcapng keyed.pcapng 2>err.txt
[[ $(cat err.txt) == *" packets, "*", key id $id_a" ]] || fail "summary: $(cat err.txt)"
"$pcap" --policy policy in/all.pcapng default.pcapng 2>err.txt
[[ $(cat err.txt) == *", key id $(id --policy policy) (the public default key: not for release)" ]] ||
    fail "the default key is not called so: $(cat err.txt)"
# capinfos shows the comment's lines joined by spaces.
comment() { capinfos -k "$1" | sed -n 's/^Capture comment: *//p'; }
[[ $(comment a-all.pcapng) == "ipveil-pcap key id $id_a policy: special "*" keep 198.51.100.0/24 "* ]] ||
    fail "section comment: '$(comment a-all.pcapng)'"
[[ $(comment rekeyed-all.pcapng) == "ipveil-pcap key id $(id --key-file b.key --policy policy) policy: "* ]] ||
    fail "a rekeyed capture's comment: '$(comment rekeyed-all.pcapng)'"
[[ $(comment default.pcapng) == "ipveil-pcap key id $(id --policy policy) (the public default key) policy: "* ]] ||
    fail "the default key's comment: '$(comment default.pcapng)'"
[[ -z $(comment revealed-all.pcapng) ]] || fail "a revealed capture has a comment: '$(comment revealed-all.pcapng)'"

# expect STATUS MESSAGE COMMAND...: the status and the message.
expect() {
    local status=$1 message=$2
    shift 2
    set +e
    "$@" >stdout.txt 2>stderr.txt
    local got=$?
    set -e
    [[ $got == "$status" ]] || fail "$*: status $got, expected $status ($(cat stderr.txt))"
    [[ $(cat stderr.txt) == "$message" ]] || fail "$*: message '$(cat stderr.txt)', expected '$message'"
    [[ ! -e never.pcap ]] || fail "$*: an output was written"
}
cp a.key open.key
chmod 640 open.key
expect 248 "The key file open.key has mode 640: its group or other users have permissions on it, and whoever can \
read the key can undo the anonymization. Make it its owner's alone (chmod 600 open.key) and try again." \
    "$pcap" --key-file open.key in/all.pcapng never.pcap
expect 248 "The key file open.key has mode 640: its group or other users have permissions on it, and whoever can \
read the key can undo the anonymization. Make it its owner's alone (chmod 600 open.key) and try again." \
    "$pcap" --rekey open.key a-all.pcapng never.pcap
echo "${key_a}0" >long.key
expect 248 "The key in the key file long.key must be 64 hexadecimal digits (32 bytes); it has 65." \
    "$pcap" --key-file long.key --print-key-id
printf '%s\n\n' "$key_a" >two.key
expect 248 "The key in the key file two.key must be 64 hexadecimal digits; it holds other characters." \
    "$pcap" --key-file two.key in/all.pcapng never.pcap
expect 248 "The key file . is not a file." "$pcap" --key-file . in/all.pcapng never.pcap
printf 'special\n# fine so far\npreserve 10.1.0.1/16\n' >bad
expect 249 "Bad policy in bad, line 3: $("$images" a.key bad /dev/null 2>&1 | sed 's/^policy line 3: //')" \
    "$pcap" --policy bad in/all.pcapng never.pcap
printf 'keep 10.0.0.0/8\npreserve 10.0.0.0/8\n' >contradiction
expect 249 "Bad policy in contradiction, line 2: $("$images" a.key contradiction /dev/null 2>&1 |
    sed 's/^policy line 2: //')" "$pcap" --policy contradiction --print-key-id
printf 'special\ntruncate4 24\n' >truncating
"$pcap" --policy truncating in/all.pcapng truncated.pcapng 2>/dev/null || fail "a truncating policy is refused"
for option in --reveal "--rekey b.key"; do
    # shellcheck disable=SC2086
    expect 249 "Bad policy in truncating: it truncates images, which cannot be turned back" \
        "$pcap" --policy truncating $option truncated.pcapng never.pcap
done
expect 254 "Cannot open file missing" "$pcap" --policy missing in/all.pcapng never.pcap
expect 255 "usage: ipveil-pcap [OPTION]... INPUT OUTPUT" "$pcap" --reveal --rekey b.key a-all.pcapng never.pcap
expect 255 "usage: ipveil-pcap [OPTION]... INPUT OUTPUT" "$pcap" in/all.pcapng never.pcap --key-file
