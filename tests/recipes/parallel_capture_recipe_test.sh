# The README's recipes for a folder of captures with GNU parallel: one
# ipveil-pcap per capture on this machine, and the form that reaches other
# hosts with the local machine standing in for them (--sshlogin 2/:). Each
# output must be byte for byte what one ipveil-pcap run gives.
#
#   parallel_capture_recipe_test.sh IPVEIL_PCAP WRITE_TEST_CAPTURES
source "$(dirname "$0")/../shell_test_support.sh"

require_commands parallel
# The recipes call ipveil-pcap by name, as an installed command.
PATH=$(dirname "$1"):$PATH
cd "$scratch"
mkdir captures
"$2" captures

mkdir -p anonymized && parallel ipveil-pcap {} anonymized/{/} ::: captures/* 2>/dev/null
parallel --sshlogin 2/: --transferfile {} --return anonymized-hosts/{/} --cleanup \
    'mkdir -p anonymized-hosts && ipveil-pcap {} anonymized-hosts/{/}' ::: captures/* 2>/dev/null
for capture in captures/*; do
    name=$(basename "$capture")
    ipveil-pcap "$capture" one.out 2>/dev/null
    cmp -s one.out "anonymized/$name" || fail "parallel: $name differs from one ipveil-pcap run"
    cmp -s one.out "anonymized-hosts/$name" || fail "parallel --sshlogin: $name differs from one ipveil-pcap run"
done
