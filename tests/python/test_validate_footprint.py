"""What a validation loads: with its rules cached, `quarzel validate` and
quarzel.validate need neither Arrow and Parquet (quarzel._native's
libraries) nor annotationlib, whose loading cost more than checking a few
small files takes; `quarzel validate` needs none of the standard modules
that cost its start most (argparse, typing, json, re, collections,
pkgutil)."""

import json
import os
import subprocess
import sys

import pytest

from testdata import path

DDL1 = str(path("dict", "validate", "ddl1_test.dic"))
DDLM = str(path("dict", "validate", "ddlm_test.dic"))
CIF = "data_x\n_cell_length_a 5.6\n"

# Standard modules `quarzel validate` does without (a plain command line, a
# file without faults, rules cached): together they were two thirds of its start.
HEAVY = ("argparse", "typing", "json", "re", "collections", "pkgutil", "enum", "locale")

# Runs one way of working twice in a fresh process each (the first fills
# the rule cache) and prints what the second one had loaded.
SCRIPT = r"""
import runpy, sys
how, dic, cif = sys.argv[1:4]
if how == "cli":
    sys.argv = ["quarzel", "validate", "-d", dic, "--no-progress", cif]
    try:
        runpy.run_module("quarzel", run_name="__main__")
    except SystemExit:
        pass
elif how == "api":
    import quarzel
    quarzel.validate(open(cif).read(), dic)
else:
    import quarzel._native
heavy = sorted(m for m in HEAVY if m in sys.modules)
maps = open("/proc/self/maps").read()
import json
print(json.dumps({"heavy": heavy, "libarrow": "libarrow" in maps, "libparquet": "libparquet" in maps,
                  "quarzel._native": "quarzel._native" in sys.modules,
                  "annotationlib": "annotationlib" in sys.modules}))
"""


def loaded(tmp_path, how, dic):
    cif = tmp_path / "x.cif"
    cif.write_text(CIF)
    env = {**os.environ, "PYTHONPATH": os.pathsep.join(sys.path),
           "XDG_CACHE_HOME": str(tmp_path / "cache")}
    env.pop("QUARZEL_NO_CACHE", None)
    for _ in range(2):
        proc = subprocess.run([sys.executable, "-c", f"HEAVY = {HEAVY!r}\n" + SCRIPT, how, dic,
                               str(cif)],
                              capture_output=True, text=True, env=env, check=True)
    return json.loads(proc.stdout.splitlines()[-1])


@pytest.mark.parametrize("how, dic, expect", [
    ("cli", DDL1, False),
    ("cli", DDLM, False),
    ("api", DDL1, False),
    # The probe itself: importing quarzel._native does load them.
    ("native", DDL1, True),
])
def test_validation_leaves_arrow_unloaded(tmp_path, how, dic, expect):
    got = loaded(tmp_path, how, dic)
    assert got["libarrow"] is expect and got["libparquet"] is expect, got
    assert got["quarzel._native"] is expect, got
    if how == "cli":
        assert got["annotationlib"] is False, got
        assert got["heavy"] == [], got
