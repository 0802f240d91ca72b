"""examples/timeline.py draws one stay as a PNG (with Agg, as on a machine without a display)."""

import pathlib
import sys

import matplotlib
import matplotlib.image

matplotlib.use("Agg")

EXAMPLES = pathlib.Path(__file__).resolve().parent.parent / "examples"


def test_timeline_writes_a_png(tmp_path, monkeypatch):
    monkeypatch.syspath_prepend(str(EXAMPLES))
    import timeline

    out = tmp_path / "stay.png"
    monkeypatch.setattr(sys, "argv", ["timeline.py", str(out)])
    timeline.main()
    data = out.read_bytes()
    assert data.startswith(b"\x89PNG\r\n\x1a\n") and len(data) > 20_000
    image = matplotlib.image.imread(out)
    assert image.shape == (650, 1000, 4) and image.std() > 0.05  # the whole figure, not a blank canvas
