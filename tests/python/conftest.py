"""Settings for every test of this folder."""

import os

import pytest


@pytest.fixture(autouse=True, scope="session")
def _rule_cache_of_this_run(tmp_path_factory):
    """Compiled rule sets are kept in a folder of this run (subprocesses
    inherit it), not in the user's cache."""
    old = os.environ.get("XDG_CACHE_HOME")
    os.environ["XDG_CACHE_HOME"] = str(tmp_path_factory.mktemp("xdg-cache"))
    yield
    if old is None:
        os.environ.pop("XDG_CACHE_HOME", None)
    else:
        os.environ["XDG_CACHE_HOME"] = old
