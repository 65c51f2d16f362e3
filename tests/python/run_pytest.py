"""Runs pytest on the files given, for ctest: exit status 77 (skipped) where python3-pytest is not installed, or where
every test was skipped (pytest itself would say success)."""
import sys

try:
    import pytest
except ImportError:
    print("skipped: pytest is not installed (Debian package python3-pytest)")
    sys.exit(77)


class Outcomes:
    def __init__(self):
        self.ran = 0
        self.skipped = 0

    def pytest_runtest_logreport(self, report):
        if report.skipped:
            self.skipped += 1
        elif report.when == "call":
            self.ran += 1


# Only when run: a worker process started by spawning (Dask's LocalCluster) imports this file again as its main module.
if __name__ == "__main__":
    outcomes = Outcomes()
    status = pytest.main(["-q", "-rs", "-p", "no:cacheprovider", *sys.argv[1:]], plugins=[outcomes])
    sys.exit(77 if status == 0 and outcomes.ran == 0 and outcomes.skipped > 0 else status)
