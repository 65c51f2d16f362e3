# shellcheck shell=bash
# Sourced by the shell-script tests: a private scratch directory removed on
# exit, and the ctest conventions for failing and skipping (status 77, which
# the tests register as SKIP_RETURN_CODE).
set -euo pipefail

scratch=$(mktemp -d "${TMPDIR:-/tmp}/ipveil-test.XXXXXX")
trap '[[ -n ${KEEP_SCRATCH:-} ]] || rm -rf "$scratch"' EXIT

fail() {
    echo "FAIL: $*" >&2
    exit 1
}

skip() {
    echo "SKIP: $*" >&2
    exit 77
}

# Skips the test unless every named command is on the PATH.
require_commands() {
    local command
    for command in "$@"; do
        command -v "$command" >/dev/null || skip "$command is not installed"
    done
}
