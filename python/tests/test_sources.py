"""Page sources that need the page image's ink: the module decodes page
images without Qt and must find the ink corvanel-eval finds."""

import shutil
import struct
import zlib

import numpy as np
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
    # A file read alone is the map the workspace drew from it.
    page = module.pages()[0]
    labels, ids = corvanel.read_xml(ws / "results" / (page.rsplit(".", 1)[0] + ".xml"), ws / "images" / page, "words")
    assert labels.any() and labels.max() <= len(ids)
    assert (labels == module.maps(page, "words")[1]).all()


def png16(labels):
    """A 16-bit grey PNG of the labels, written by hand: no library's colour handling in between."""
    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))
    h, w = labels.shape
    rows = b"".join(b"\0" + row.astype(">u2").tobytes() for row in labels)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", w, h, 16, 0, 0, 0, 0)) +
            chunk(b"IDAT", zlib.compress(rows)) + chunk(b"IEND", b""))


def test_png_label_images_read_as_their_labels(tmp_path):
    labels = np.arange(12 * 9, dtype=np.int32).reshape(9, 12) * 601  # up to 64307
    (tmp_path / "map.png").write_bytes(png16(labels))
    assert (corvanel.read_png(tmp_path / "map.png") == labels).all()
    (tmp_path / "cut.png").write_bytes(png16(labels)[:60])
    with pytest.raises(corvanel.MapError) as caught:
        corvanel.read_png(tmp_path / "cut.png")
    assert caught.value.file == str(tmp_path / "cut.png") and caught.value.kind == "malformed"
