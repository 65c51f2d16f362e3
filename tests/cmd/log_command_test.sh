# ipveil-log on logs built byte by byte (log_cases.py): every address gets the
# image ipveil gives it, every other byte stays; revealing gives the canonical
# log back byte for byte; rekeying equals anonymizing under the new key, and
# a key file and policy give the anonymizer's images (policy_images); the
# summary counts; --strict, an overlong line, a contradicting Zeek header and
# an unknown format stop with status 253 after every earlier line was
# written; the usage and file errors keep ipveil-pcap's statuses.
#
#   log_command_test.sh IPVEIL_LOG IPVEIL IPVEIL_REVEAL POLICY_IMAGES
source "$(dirname "$0")/../shell_test_support.sh"
log=$1 ipveil=$2 reveal=$3 images=$4
cases=$(cd "$(dirname "$0")" && pwd)/log_cases.py
require_commands python3 od
cd "$scratch"

# The same addresses through ipveil's trace: the images, and their canonical text.
python3 "$cases" addresses 3000 11 >originals
awk '{ print "0.000000 1 " $0 }' originals >trace
"$ipveil" trace | cut -f3 >images || fail "ipveil failed"
"$reveal" <("$ipveil" trace) | cut -f3 >canonical || fail "ipveil-reveal failed"
[[ $(wc -l <images) == 3000 && $(wc -l <canonical) == 3000 ]] || fail "ipveil gave $(wc -l <images) images"

id=$("$log" --print-key-id)
run() {
    local name=$1
    shift
    "$log" "$@" 2>err || fail "$name: ipveil-log $*: status $? ($(cat err))"
}
for format in zeek csv tsv json text lines; do
    counts=$(python3 "$cases" "$format" originals images canonical "$format")
    read -r lines ipv4 ipv6 left <<<"$counts"
    case $format in
        zeek) options=() ;;  # found from the header
        csv) options=(--format csv --column src --column dst) ;;
        tsv) options=(--format tsv --column 2 --column 3) ;;
        json) options=(--format json --field id.orig_h --field dest.ip --field answers) ;;
        text) options=(--format text) ;;
        lines) options=(--format lines) ;;
    esac
    run "$format" "${options[@]}" "$format.in" "$format.out"
    cmp "$format.out" "$format.expected" || fail "$format: the output is not the input with ipveil's images"
    summary="ipveil-log: $format.in: $lines lines, $ipv4 IPv4 and $ipv6 IPv6 addresses, $left values left as they were, key id $id (the public default key: not for release)"
    [[ $(cat err) == "$summary" ]] || fail "$format: summary '$(cat err)', expected '$summary'"
    run "$format" "${options[@]}" --reveal "$format.out" "$format.back"
    cmp "$format.back" "$format.canonical" || fail "$format: revealing does not give the canonical input back"
    [[ $(stat -c %a "$format.back") == 600 ]] || fail "$format: a revealed log is open to others"
    # Standard input and output, through pipes.
    cat "$format.in" | "$log" "${options[@]}" - - 2>/dev/null | cmp - "$format.expected" ||
        fail "$format: through pipes the output differs"
done

# Logs one after the other, as zcat *.log.gz gives them: each file's own header.
cat zeek.in zeek.in | "$log" - - 2>/dev/null | cmp - <(cat zeek.expected zeek.expected) ||
    fail "two Zeek logs one after the other are not mapped as each alone"

# A key file and a policy: the anonymizer's images; rekeying equals
# anonymizing under the new key, and revealing then anonymizing.
umask 077
od -An -tx1 -N32 /dev/urandom | tr -d ' \n' >a.key
od -An -tx1 -N32 /dev/urandom | tr -d ' \n' >b.key
printf 'special\npreserve 10.0.0.0/8\nkeep 2001:db8::/32\n' >policy
"$images" a.key policy trace | cut -f3 >policy.images
run lines --format lines --key-file a.key --policy policy originals a.out
cmp a.out policy.images || fail "--key-file and --policy do not give the anonymizer's images"
for format in zeek csv; do
    case $format in
        zeek) options=() ;;
        csv) options=(--format csv --column src --column dst) ;;
    esac
    run "$format" "${options[@]}" --key-file a.key --policy policy "$format.in" "$format.a"
    run "$format" "${options[@]}" --key-file a.key --policy policy --rekey b.key "$format.a" "$format.rekeyed"
    run "$format" "${options[@]}" --key-file b.key --policy policy "$format.in" "$format.b"
    cmp "$format.rekeyed" "$format.b" || fail "$format: rekeying is not anonymizing under the new key"
    [[ $(cat err) == *", key id $("$log" --key-file b.key --policy policy --print-key-id)" ]] ||
        fail "$format: summary of a keyed run: $(cat err)"
done
! grep -qi "$(cat a.key)" err ./*.out ./*.a ./*.b || fail "the key stands in a message or an output"

# expect STATUS MESSAGE COMMAND...: the status and the last line on standard error.
expect() {
    local status=$1 message=$2
    shift 2
    set +e
    "$@" >stdout.txt 2>stderr.txt
    local got=$?
    set -e
    [[ $got == "$status" ]] || fail "$*: status $got, expected $status ($(cat stderr.txt))"
    [[ $(tail -n 1 stderr.txt) == "$message" ]] || fail "$*: message '$(tail -n 1 stderr.txt)', expected '$message'"
}
usage="usage: ipveil-log [OPTION]... INPUT OUTPUT"
expect 255 "$usage" "$log" --format csv csv.in never
expect 255 "$usage" "$log" --column src csv.in never
expect 255 "$usage" "$log" --format bogus csv.in never
expect 255 "$usage" "$log" --reveal --rekey b.key csv.in never
expect 255 "$usage" "$log" csv.in
expect 254 "Cannot open file missing.log" "$log" missing.log never
mkdir directory.log
expect 252 "Cannot read file directory.log" "$log" directory.log never
expect 255 "Input and output are the same file: csv.in" "$log" --format lines csv.in csv.in
expect 253 "csv.in: not a Zeek log; give its format with --format" "$log" csv.in never
[[ ! -e never ]] || fail "a refused run left an output behind"
expect 253 "csv.in, line 1: no column source in the header" "$log" --format csv --column source csv.in never

# --strict: the lines before the fault are written, mapped, and no more.
head -n 4 lines.in >strict.in
echo "host.example" >>strict.in
cat lines.in >>strict.in
expect 253 "strict.in, line 5: not an address at byte 1 (--strict)" "$log" --format lines --strict strict.in strict.out
cmp strict.out <(head -n 4 lines.expected) || fail "--strict did not write exactly the lines before the fault"
run lines --format lines strict.in lenient.out
[[ $(cat err) == *", 1 values left as they were, "* ]] || fail "the host name is not counted: $(cat err)"

# #types and #fields of different lengths: the header cannot be trusted.
head -n 20 zeek.in | sed '8s/\tvector\[addr\]$//' >types.in
expect 253 "types.in, line 8: #fields names 8 columns and #types 7" "$log" types.in types.out
cmp types.out <(head -n 7 zeek.expected) || fail "the header lines before the bad #types were not written"

# A line of 100 MB: refused on its line, after the lines before it; memory
# does not grow with it (the reader holds at most 1 MiB of one line).
{ head -n 3 lines.in; head -c 100000000 /dev/zero | tr '\0' 'a'; echo; head -n 3 lines.in; } >long.in
expect 253 "long.in, line 4: longer than 1048576 bytes" "$log" --format lines long.in long.out
cmp long.out <(head -n 3 lines.expected) || fail "the lines before the long one were not written"
echo "PASS"
