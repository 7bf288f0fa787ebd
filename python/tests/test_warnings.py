"""What the batch run warns of reaches Python as a TavrelWarning, in the
program's words; a filter that makes it an error stops the run."""

import subprocess
import warnings

import pytest

import tavrel
from conftest import BATCH, copy_scene


def doubtful_scene(folder):
    """The scene with two entries: the first with NumIterations below 0, the
    second writing the first one's output again."""
    directions = copy_scene(folder) / "scene.cpd"
    entry = directions.read_text()
    directions.write_text(entry.replace("NumIterations \t10", "NumIterations \t-1") + "\n" + entry)
    return directions


def batch_warnings(directions):
    if not BATCH.exists():
        pytest.skip("tavrel-batch is not built")
    run = subprocess.run([str(BATCH), str(directions)], capture_output=True, text=True,
                         timeout=120, check=True)
    prefix = "tavrel-batch: warning: "
    return [line[len(prefix):] for line in run.stderr.splitlines() if line.startswith(prefix)]


def test_warnings_are_the_batch_programs(tmp_path):
    directions = doubtful_scene(tmp_path / "py")
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        written = tavrel.run_directions(str(directions))
    assert len(written) == 2
    assert all(w.category is tavrel.TavrelWarning for w in caught)
    assert issubclass(tavrel.TavrelWarning, UserWarning)
    messages = [str(w.message) for w in caught]
    assert "entry 1: NumIterations -1 is below 0 and taken as 0" in messages
    assert any("is also written by entry 1; the later file stands" in m for m in messages)
    assert messages == batch_warnings(doubtful_scene(tmp_path / "cli"))


def test_a_warning_made_an_error_stops_the_run_before_the_entry(tmp_path):
    directions = doubtful_scene(tmp_path)
    with warnings.catch_warnings():
        warnings.simplefilter("error", tavrel.TavrelWarning)
        with pytest.raises(tavrel.TavrelWarning, match="the later file stands"):
            tavrel.run_directions(str(directions))
    assert not list(directions.parent.glob("*.dis*"))
    # The module is usable after the stop.
    with pytest.warns(tavrel.TavrelWarning):
        assert len(tavrel.run_directions(str(directions))) == 2
