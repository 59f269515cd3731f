"""Pages spread over workers and pooled: Dask in Python, and corvanel-eval's
per-page JSON files pooled by corvanel-eval pool."""

import json

import pytest

import corvanel
from conftest import eval_json, run, tool


def test_dask_cluster_totals_are_corvanel_evals(workspace, tmp_path):
    distributed = pytest.importorskip("distributed")

    def score(folder, page):
        """A task: one page, or None for a page that cannot be evaluated."""
        try:
            return corvanel.Workspace(folder).evaluate_page(page, level="words")
        except corvanel.MapError:
            return None

    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None) as cluster, \
            distributed.Client(cluster) as client:
        pages = corvanel.Workspace(workspace).pages()
        futures = client.map(score, [str(workspace)] * len(pages), pages)
        # Summed on the workers, one sum handed back.
        total = client.submit(lambda results: sum(r for r in results if r is not None), futures).result()
    assert total.to_dict() == eval_json(workspace, tmp_path, "--level", "words")["totals"]


def test_pool_of_page_files_is_the_batch(workspace, tmp_path):
    eval_ = tool("corvanel-eval")
    batch = run(eval_, workspace, "--level", "words", "--report", tmp_path / "r.txt").stdout
    shards = []
    (tmp_path / "shards").mkdir()
    for page in corvanel.Workspace(workspace).pages():
        shards.append(tmp_path / "shards" / f"{page}.json")
        run(eval_, workspace, "--level", "words", "--page", page, "--json", shards[-1])
    pooled = run(eval_, "pool", *shards, "--json", tmp_path / "pooled.json")
    assert pooled.stdout == batch
    assert run(eval_, "pool", tmp_path / "shards").stdout == batch  # a folder of shards
    assert json.loads((tmp_path / "pooled.json").read_text())["totals"] == \
        eval_json(workspace, tmp_path, "--level", "words")["totals"]
    # A whole run's file pools with page files of other pages, not the same ones.
    whole = tmp_path / "whole.json"
    run(eval_, workspace, "--level", "words", "--json", whole, "--report", tmp_path / "r.txt")
    twice = run(eval_, "pool", whole, shards[0], check=False)
    assert twice.returncode == 1 and "is also in" in twice.stderr
    lines = tmp_path / "lines.json"
    run(eval_, workspace, "--level", "lines", "--page", corvanel.Workspace(workspace).pages()[0], "--json", lines)
    mixed = run(eval_, "pool", shards[1], lines, check=False)
    assert mixed.returncode == 1 and "do not pool" in mixed.stderr
