"""Workspaces written by corvanel-mkworkspace, and the programs to compare with."""

import json
import os
import shutil
import subprocess

import pytest


def tool(name):
    """The path of a built program (ctest gives them), or a skip."""
    path = os.environ.get(name.upper().replace("-", "_"))
    if not path:
        pytest.skip(f"{name} was not built")
    return path


def run(*args, check=True):
    return subprocess.run([str(a) for a in args], check=check, capture_output=True, text=True)


def eval_json(workspace, tmp_path, *options):
    """corvanel-eval's JSON file for the options, loaded."""
    out = tmp_path / f"run{len(list(tmp_path.iterdir()))}.json"
    run(tool("corvanel-eval"), workspace, "--json", out, "--report", tmp_path / "Results.txt", "--jobs", 2, *options)
    return json.loads(out.read_text())


@pytest.fixture(scope="session")
def workspace(tmp_path_factory):
    """Four pages of six lines, their ground truth, the baseline's results
    and a participant with injected errors; .dat maps, group-4 TIFF pages."""
    root = tmp_path_factory.mktemp("ws") / "ws"
    shape = ["--pages", 4, "--width", 700, "--height", 900, "--lines", 6, "--words-per-line", 4]
    run(tool("corvanel-mkworkspace"), root, *shape)
    run(tool("corvanel-mkworkspace"), root, *shape, "--participant", "injected", "--error-rate", 0.4)
    return root


@pytest.fixture
def copy_of(tmp_path):
    def copy(workspace):
        target = tmp_path / "copy"
        shutil.copytree(workspace, target)
        return target
    return copy
