#!/usr/bin/env bash
# The README's `man -l man/ipveil.1`, for every page under man/: each renders
# with no warning from man or groff, shows its exit statuses, and names the
# project's VERSION in its title line.
#
#   man_page_test.sh SOURCE_DIR VERSION
source "$(dirname "$0")/../shell_test_support.sh"

require_commands man
for page in "$1"/man/*.1; do
    MANWIDTH=80 man --warnings -l "$page" </dev/null >"$scratch/page.txt" 2>"$scratch/warnings.txt" ||
        fail "man -l $page failed: $(cat "$scratch/warnings.txt")"
    [[ ! -s $scratch/warnings.txt ]] || fail "$page: $(cat "$scratch/warnings.txt")"
    grep -q "^EXIT STATUS" "$scratch/page.txt" || fail "$page renders without its EXIT STATUS section"
    grep -q "^\.TH .* \"ipveil $2\" " "$page" || fail "$page: its .TH line does not name ipveil $2"
done
