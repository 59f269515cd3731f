"""corvanel against corvanel-eval on the same workspaces, and its own seams:
arrays in place, pooling, errors."""

import concurrent.futures
import os
import pickle
import shutil
import subprocess

import numpy as np
import pytest

import corvanel
from conftest import eval_json, run, tool


@pytest.mark.parametrize("level", ["lines", "words"])
def test_workspace_gives_corvanel_evals_numbers_and_records(workspace, tmp_path, level):
    expected = eval_json(workspace, tmp_path, "--level", level)
    batch = corvanel.Workspace(workspace).evaluate(level=level, jobs=2)
    assert batch.totals.to_dict() == expected["totals"]
    # Page by page, the whole record corvanel-eval's JSON holds.
    assert [r.to_dict() for r in batch.results] == expected["pages"]
    # Arrays read by read_map give the same page.
    page = batch.results[0]
    read = lambda side: corvanel.read_map(workspace / side / level / f"{page.name}.dat", page.width, page.height)
    assert corvanel.evaluate(read("gt"), read("results")).counts == page.counts


def test_rank_gives_corvanel_evals_leaderboard(workspace, tmp_path):
    out = tmp_path / "rank.json"
    run(tool("corvanel-eval"), "rank", workspace, workspace / "results", workspace / "participants", "--json", out)
    import json
    expected = json.loads(out.read_text())["participants"]
    standings = corvanel.rank(workspace, ["results", "injected"], jobs=2)
    assert [(s.name, s.rank, s.overall) for s in standings] == [(p["name"], p["rank"], p["overall"]) for p in expected]
    for s, p in zip(standings, expected):
        for level in ("lines", "words"):
            got = getattr(s, level).to_dict()
            for key in ("pages_evaluated", "N", "M", "one2one", "DR", "RA", "FM"):
                assert got[key] == p[level][key], (s.name, level, key)
            assert getattr(s, level + "_submitted") == p[level]["pages_submitted"]


def peak_rise_mib(fn):
    """Resident memory added at the peak while fn runs (Linux's resettable mark)."""
    def status(field):
        with open("/proc/self/status") as f:
            return next(int(line.split()[1]) for line in f if line.startswith(field))
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")
    before = status("VmRSS:")
    fn()
    return (status("VmHWM:") - before) / 1024


def test_int32_arrays_are_read_in_place_and_others_converted_once():
    rng = np.random.default_rng(1)
    gt = np.repeat(rng.integers(0, 50, size=(3000, 1), dtype=np.int32), 4000, axis=1)  # 46 MiB a side
    rs = gt.copy()
    rs[:, 2000:] += 1
    in_place = peak_rise_mib(lambda: corvanel.evaluate(gt, rs, boxes=False))
    wide = rs.astype(np.int64)
    converted = peak_rise_mib(lambda: corvanel.evaluate(gt, wide, boxes=False))
    assert in_place < 8, f"{in_place:.1f} MiB more at the peak for int32 arrays"
    # The int64 side becomes one int32 copy (46 MiB), and no more.
    assert 40 < converted < 60, f"{converted:.1f} MiB more at the peak for an int64 array"
    assert corvanel.evaluate(gt, wide).counts == corvanel.evaluate(gt, rs).counts


def test_results_pool_pickle_and_sweep_as_a_batch(workspace):
    ws = corvanel.Workspace(workspace)
    batch = ws.evaluate(level="words", jobs=1)
    with concurrent.futures.ThreadPoolExecutor(2) as pool:
        pages = list(pool.map(lambda p: ws.evaluate_page(p, level="words"), ws.pages()))
    assert sum(pages) == batch.totals
    assert pages[0] + pages[1] + pages[2] + pages[3] == batch.totals
    again = [pickle.loads(pickle.dumps(p)) for p in pages]
    assert [p.to_dict() for p in again] == [p.to_dict() for p in pages]
    assert pickle.loads(pickle.dumps(sum(pages))) == batch.totals
    # The sweep from kept overlaps is what scoring at that threshold gives.
    for t in (50, 75):
        swept = sum(p.at_threshold(t) for p in again)
        assert swept == ws.evaluate(level="words", threshold=t, keep_pages=False).totals
        assert again[1].at_threshold(t).to_dict() == ws.evaluate_page(ws.pages()[1], "words", threshold=t).to_dict()
    with pytest.raises(ValueError, match="thresholds 90 and 50 do not pool"):
        pages[0] + pages[1].at_threshold(50)
    weighted = ws.evaluate_page(ws.pages()[0], "words", weights=(100, 50, 50))
    with pytest.raises(ValueError, match="weights"):
        sum([pages[0], weighted])


def test_boxes_and_ink_on_arrays():
    gt = np.zeros((40, 50), np.int32)
    gt[5:15, 5:30] = 1
    gt[20:30, 5:30] = 2
    rs = gt.copy()
    rs[20:30, 5:17] = 7  # region 2 split in two
    r = corvanel.evaluate(gt, rs)
    assert r.gt_regions.statuses == ["one2one", "split"]
    assert r.gt_regions.boxes.tolist() == [[5, 5, 29, 14], [5, 20, 29, 29]]
    assert r.result_regions.partners == [[1], [2], [2]]
    fast = corvanel.evaluate(gt, rs, boxes=False)
    assert fast.counts == r.counts and fast.gt_regions.statuses == r.gt_regions.statuses
    assert fast.to_dict()["gt_regions"][0]["bbox"] is None
    with pytest.raises(ValueError, match="boxes=False"):
        fast.gt_regions.boxes
    # Ink: only ink pixels count, on both sides.
    ink = np.zeros(gt.shape, bool)
    ink[:, 17:] = True
    inked = corvanel.evaluate(gt, rs, ink=ink)
    assert inked.counts == corvanel.evaluate(np.where(ink, gt, 0), np.where(ink, rs, 0)).counts
    assert inked.M == 2


def test_errors_are_exceptions_with_the_engines_words(workspace, tmp_path, copy_of):
    gt = np.ones((4, 5), np.int32)
    rs = gt.copy()
    rs[2, 3] = -6
    with pytest.raises(corvanel.MapError) as caught:
        corvanel.evaluate(gt, rs)
    e = caught.value
    assert (e.side, e.kind, e.file) == ("result", "negative_label", None)
    assert str(e) == "A label map holds a negative label; the page was not evaluated: result label -6 at x=3, y=2"
    for bad, message in [((gt, rs[:3]), "different sizes"), ((gt, gt.astype(float)), "float64"),
                         ((gt, gt, 0), "at least 1"), ((gt, gt, 101), "from 1 to 100"), ((gt, gt, 90, (100, -1, 0)), "weights"),
                         ((gt, gt.astype(np.uint32) + 2**31), "labels are 32-bit")]:
        with pytest.raises(ValueError, match=message):
            corvanel.evaluate(*bad)

    short = tmp_path / "short.dat"
    short.write_bytes(b"\0" * 10)
    with pytest.raises(corvanel.MapError) as caught:
        corvanel.read_map(short, 2, 2)
    assert caught.value.file == str(short) and caught.value.kind == "malformed" and caught.value.side is None
    assert str(caught.value).startswith("Problem with file short.dat")

    ws = copy_of(workspace)
    page = corvanel.Workspace(ws).pages()[1]
    os.remove(ws / "results" / "lines" / f"{page}.dat")
    with pytest.raises(corvanel.MapError) as caught:
        corvanel.Workspace(ws).evaluate_page(page)
    assert (caught.value.kind, caught.value.side, caught.value.level) == ("missing", "result", "lines")
    # In a batch the page is passed over as corvanel-eval passes it over.
    batch = corvanel.Workspace(ws).evaluate()
    assert batch.not_evaluated == [page] and batch.totals.pages == 3
    assert batch.totals.to_dict() == eval_json(ws, tmp_path)["totals"]
    with pytest.raises(ValueError):
        corvanel.Workspace(tmp_path / "nowhere")


def test_every_public_name_has_a_docstring():
    for name in dir(corvanel):
        obj = getattr(corvanel, name)
        if name.startswith("_") or not callable(obj):
            continue
        assert obj.__doc__ and len(obj.__doc__) > 20, name
        for member, value in vars(obj).items() if isinstance(obj, type) else []:
            if not member.startswith("_") and (callable(value) or isinstance(value, property)):
                assert getattr(value, "__doc__", None), f"{name}.{member}"
