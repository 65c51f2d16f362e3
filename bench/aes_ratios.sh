#!/usr/bin/env bash
# Runs aes_bench twice -- against OpenSSL as it is, then with OpenSSL's AES-NI
# code masked off (OPENSSL_ia32cap="~0x200000200000000") -- and prints every
# ipveil case as a ratio to EVP doing the same work in the same run, followed
# by the targets and whether this run met them.
#
#   bench/aes_ratios.sh [extra aes_bench arguments]
# With the defaults it takes about a minute and a half on an idle machine
# (62 benchmarks, then 20 without AES-NI, each 3 times 0.2 s and more): the
# AES modes on 64 KiB, which the README's figures use, and every anonymizer
# and deanonymizer case.
# Environment: MIN_TIME (seconds per benchmark, default 0.2), REPETITIONS
# (default 3; the median is used), ALL_SIZES=1 (the AES modes on every size
# from 16 bytes to 64 KiB too: four times as many benchmarks), BUILD_DIR
# (default build/bench), SKIP_RUN=1 (print the tables again from the last
# run's JSON files), PIN_CPU (default 0: the processor the benchmarks run on,
# through taskset; empty for none).
set -euo pipefail
command -v python3 >/dev/null || { echo "aes_ratios.sh needs python3 for its tables" >&2; exit 1; }

root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build/bench}
bench=$build/bench/aes_bench
if [[ ! -x $bench ]]; then
    (cd "$root" && cmake --preset bench >/dev/null && cmake --build --preset bench >/dev/null)
fi
# One processor for the whole run: a benchmark moved between processors
# mid-run measures the move (seen here: the batch anonymizer at 0.7 or 1.0
# of its limit from one run to the next, unpinned). PIN_CPU= (empty) lets
# the scheduler choose.
pin=()
if [[ -n ${PIN_CPU-0} ]] && command -v taskset >/dev/null; then pin=(taskset -c "${PIN_CPU-0}"); fi
results=$build/bench/results
mkdir -p "$results"
args=(--benchmark_min_time="${MIN_TIME:-0.2}" --benchmark_repetitions="${REPETITIONS:-3}"
      --benchmark_format=json "$@")
# The anonymizer's cases (anonymize..., deanonymize..., aes_limit...) and the
# AES modes on 64 KiB, or on every size.
sizes='/65536$'
[[ -z ${ALL_SIZES:-} ]] || sizes=/
filter="^(an|de|aes_limit)|^aes128/.*$sizes"

if [[ -z ${SKIP_RUN:-} ]]; then
    echo "running aes_bench (OpenSSL with its hardware paths)..." >&2
    "${pin[@]}" "$bench" "${args[@]}" --benchmark_filter="$filter" >"$results/aes_hw.json"
    echo "running aes_bench (OpenSSL without AES-NI), portable and evp only..." >&2
    OPENSSL_ia32cap="~0x200000200000000" "${pin[@]}" "$bench" "${args[@]}" \
        --benchmark_filter="^(an|de)[^/]*/(portable|evp)$|^aes128/[^/]*/(portable|evp)$sizes" >"$results/aes_nohw.json"
fi

python3 - "$results/aes_hw.json" "$results/aes_nohw.json" <<'PY'
import json, sys
from collections import defaultdict

def load(path):
    """name -> rate (bytes/s or items/s), the median of the repetitions."""
    runs = defaultdict(list)
    for b in json.load(open(path))["benchmarks"]:
        if b.get("run_type") == "aggregate" or b.get("error_occurred"):
            continue
        rate = b.get("bytes_per_second") or b.get("items_per_second")
        runs[b["run_name"]].append(rate)
    return {name: sorted(r)[len(r) // 2] for name, r in runs.items()}

def split(name):
    # aes128/<case>/<impl>/<bytes>, or <case>/<impl> for the anonymizer's
    parts = name.split("/")
    if parts[0] == "aes128":
        return (parts[1], int(parts[3])), parts[2]
    return (parts[0], 0), parts[1]

def reference(groups, case, size):
    """EVP doing the same work: for an AES mode, the same mode and size; for
    every anonymizer case (batch or not, either direction, the AES limit),
    EVP encrypting the same 32 (IPv4) or 128 (IPv6) blocks per address."""
    if size:
        return groups[(case, size)].get("evp")
    return groups.get(("anonymize6" if "6" in case else "anonymize", 0), {}).get("evp")

def table(rates, title):
    print(f"\n== {title}")
    groups = defaultdict(dict)
    for name, rate in rates.items():
        key, impl = split(name)
        groups[key][impl] = rate
    impls = [i for i in ("portable", "aes-ni", "vaes", "vaes512") if any(i in g for g in groups.values())]
    print(f"{'case':<28}{'evp':>12}" + "".join(f"{i:>12}{'x evp':>8}" for i in impls))
    for (case, size), g in sorted(groups.items(), key=lambda kv: (not kv[0][1], kv[0])):
        evp = reference(groups, case, size)
        if not evp or not any(i in g for i in impls):
            continue
        label = f"{case}/{size}" if size else case
        unit = 1e6
        row = f"{label:<28}{evp / unit:>11.1f}M"
        for i in impls:
            row += f"{g[i] / unit:>11.1f}M{g[i] / evp:>8.2f}" if i in g else f"{'-':>12}{'':>8}"
        print(row)
    return groups

print("rates in M bytes/s (aes128) or M addresses/s (anonymize), median of the repetitions")
hw = table(load(sys.argv[1]), "OpenSSL with its hardware paths")
nohw = table(load(sys.argv[2]), "OpenSSL with OPENSSL_ia32cap=~0x200000200000000 (no AES-NI)")

print("\n== targets")
def check(label, value, goal, unit=""):
    mark = "met " if value >= goal else "MISS"
    print(f"  [{mark}] {label}: {value:.2f}{unit} (target >= {goal}{unit})")

big = 64 << 10
# The batch anonymizer against the AES units' limit for the same rounds
# (aes_limit: 32 blocks per IPv4 address, aes_limit6: 128 per IPv6 address)
# on the widest path present, and against EVP doing the same blocks.
widest = next((i for i in ("vaes512", "vaes", "aes-ni") if i in hw.get(("aes_limit", 0), {})), None)
if widest:
    for batch, limit, goal in (("anonymize_batch", "aes_limit", 0.85), ("anonymize6_batch", "aes_limit6", 0.8)):
        rate, ceiling = hw.get((batch, 0), {}).get(widest), hw.get((limit, 0), {}).get(widest)
        if rate and ceiling:
            check(f"{batch} {widest} vs its AES limit ({ceiling / 1e6:.1f} M/s)", rate / ceiling, goal, "x")
    rate, evp = hw.get(("anonymize_batch", 0), {}).get(widest), hw.get(("anonymize", 0), {}).get("evp")
    if rate and evp:
        check(f"anonymize_batch {widest} vs evp, 32 blocks per address", rate / evp, 2.5, "x")
# The narrower paths against their own limits, for the record.
for impl in ("vaes", "aes-ni"):
    for batch, limit in (("anonymize_batch", "aes_limit"), ("anonymize6_batch", "aes_limit6")):
        rate, ceiling = hw.get((batch, 0), {}).get(impl), hw.get((limit, 0), {}).get(impl)
        if rate and ceiling:
            print(f"  [info] {batch} {impl} vs its AES limit ({ceiling / 1e6:.1f} M/s): {rate / ceiling:.2f}x")
# The 512-bit modes against the 256-bit ones: they are used where they pay.
for case in ("ecb_enc", "ecb_dec", "cbc_dec", "cfb1_dec"):
    g = hw.get((case, big), {})
    if "vaes512" in g and "vaes" in g:
        check(f"{case}/65536 vaes512 vs vaes", g["vaes512"] / g["vaes"], 1, "x")
for case in ("ecb_enc", "ecb_dec", "cbc_enc", "cbc_dec", "cfb1_enc", "cfb1_dec"):
    g = nohw.get((case, big), {})
    if "portable" in g and "evp" in g:
        check(f"{case}/65536 portable vs evp without AES-NI", g["portable"] / g["evp"], 0.5, "x")
PY
