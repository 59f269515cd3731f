"""Page sources that need the page image's ink: the module decodes page
images without Qt and must find the ink corvanel-eval finds."""

import shutil

import pytest

import corvanel
from conftest import eval_json, run, tool


@pytest.mark.parametrize("fmt", ["page", "alto"])
def test_polygon_results_give_corvanel_evals_totals(workspace, tmp_path, copy_of, fmt):
    ws = copy_of(workspace)
    run(tool("corvanel-segment"), ws, "--format", fmt)
    assert list((ws / "results").glob("*.xml"))
    module = corvanel.Workspace(ws)
    for level in ("lines", "words"):
        batch = module.evaluate(level=level)
        assert batch.totals.pages == 4
        assert batch.totals.to_dict() == eval_json(ws, tmp_path, "--level", level)["totals"]
    # Ink counted on both sides whatever their source: the same pixels too.
    assert module.maps(module.pages()[0], "words")[1].any()


@pytest.mark.skipif(not shutil.which("convert"), reason="ImageMagick's convert is not installed")
@pytest.mark.parametrize("image", ["grey.png", "colour.png", "grey.jpg", "colour.jpg", "grey16.tif"])
def test_page_images_decode_to_corvanel_evals_ink(workspace, tmp_path, copy_of, image):
    """The same pages as PNG, JPEG or 16-bit TIFF, grey or in colour (the
    colour a tint, so the grey conversion decides the ink), scored with
    --ink-only."""
    ws = copy_of(workspace)
    kind, suffix = image.split(".")
    tint = ["-fill", "#c05020", "-tint", "60"] if kind == "colour" else ["-colorspace", "Gray"]
    depth = ["-depth", "16"] if kind == "grey16" else ["-depth", "8"]
    for page in sorted((ws / "images").iterdir()):
        target = page.with_name(f"{page.stem}-{kind}.{suffix}")
        # Blurred so that grey levels, not two values, decide the ink.
        run("convert", page, "-blur", "0x1.5", *tint, *depth, "-quality", "85", target)
        page.unlink()
        for side in ("gt", "results"):
            for level in ("lines", "words"):
                folder = ws / side / level
                (folder / (page.name + ".dat")).rename(folder / (target.name + ".dat"))
    shutil.rmtree(ws / "participants")
    batch = corvanel.Workspace(ws, ink_only=True).evaluate(level="words")
    assert batch.totals.pages == 4, batch.messages
    assert batch.totals.to_dict() == eval_json(ws, tmp_path, "--level", "words", "--ink-only")["totals"]
