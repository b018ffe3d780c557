"""Shared fixtures: the termcount program the module is compared with, and
a helper that runs it as a process."""
import os
import subprocess

import pytest


@pytest.fixture(scope="session")
def termcount_bin():
    path = os.environ.get("TERMCOUNT_BIN")
    if not path:
        pytest.skip("TERMCOUNT_BIN names no termcount program")
    return path


@pytest.fixture(scope="session")
def run_termcount(termcount_bin):
    """run_termcount(search_file, mode, text_path) -> the report, as bytes."""

    def run(search_file, mode, text_path):
        with open(text_path, "rb") as text:
            done = subprocess.run([termcount_bin, str(search_file), mode],
                                  stdin=text, capture_output=True, timeout=60)
        assert done.returncode == 0, done.stderr
        return done.stdout

    return run
