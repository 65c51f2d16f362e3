"""Runs pytest on the files given, or exits 77 (skipped, for ctest) where python3-pytest is not installed."""
import sys

try:
    import pytest
except ImportError:
    print("skipped: pytest is not installed (Debian package python3-pytest)")
    sys.exit(77)

sys.exit(pytest.main(["-q", "-p", "no:cacheprovider", *sys.argv[1:]]))
