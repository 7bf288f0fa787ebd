"""TAVREL_ISA picks the engine's instruction-set path; a bad value is refused
with the programs' text, and every path gives the same bits."""

import os
import subprocess
import sys

import numpy as np
import pytest

import tavrel
from conftest import BATCH, BUILD, SCENE


def run_python(code, isa):
    """Runs `code` in a fresh interpreter (TAVREL_ISA is read once per process)."""
    env = dict(os.environ, TAVREL_ISA=isa, PYTHONPATH=str(BUILD / "python"))
    return subprocess.run([sys.executable, "-c", "import tavrel\n" + code], env=env,
                          capture_output=True, text=True, timeout=300)


def batch_refusal(isa):
    """The lines tavrel-batch gives for TAVREL_ISA=isa, without its own name."""
    if not BATCH.exists():
        pytest.skip("tavrel-batch is not built")
    env = dict(os.environ, TAVREL_ISA=isa)
    run = subprocess.run([str(BATCH), str(SCENE / "scene.cpd")], env=env, capture_output=True,
                         text=True, timeout=60)
    assert run.returncode != 0
    return run.stderr.removeprefix("tavrel-batch: ").split("\nTry ")[0]


def test_the_active_path_is_the_fastest_available():
    paths = tavrel.available_isa_paths()
    assert paths[-1] == "baseline"
    assert set(paths) <= {"v4", "v3", "baseline"}
    if not os.environ.get("TAVREL_ISA"):
        assert tavrel.isa_path() == paths[0]


UNUSABLE = ["v9", "V3", " baseline"] + [p for p in ("v4", "v3") if p not in tavrel.available_isa_paths()]


@pytest.mark.parametrize("isa", UNUSABLE)
def test_an_unusable_path_is_a_value_error_with_the_programs_text(isa):
    code = """
import numpy as np
image = np.zeros((8, 12, 3), np.uint8)
calls = [tavrel.isa_path,
         lambda: tavrel.match(image, image, min_disparity=-2, max_disparity=0),
         lambda: tavrel.Matcher(image, image, min_disparity=-2, max_disparity=0),
         lambda: tavrel.run_directions("nothing.cpd")]
for call in calls:
    try:
        call()
    except ValueError as error:
        print(str(error) + "\\0", end="")
print(tavrel.available_isa_paths()[-1])
"""
    run = run_python(code, isa)
    assert run.returncode == 0, run.stderr
    *messages, last = run.stdout.split("\0")
    assert last.strip() == "baseline"
    assert len(messages) == 4
    assert len(set(messages)) == 1
    assert "supported paths: " + ", ".join(tavrel.available_isa_paths()) in messages[0]
    assert messages[0] == batch_refusal(isa).rstrip("\n")


@pytest.mark.parametrize("isa", tavrel.available_isa_paths())
def test_every_path_gives_the_same_bits(isa, scene_result, scene):
    job, _, _ = scene
    code = f"""
import numpy as np
job = tavrel.read_directions({str(SCENE / "scene.cpd")!r})[0]
left = tavrel.load_image({str(SCENE)!r} + "/" + job.image0, bands=job.bands)
right = tavrel.load_image({str(SCENE)!r} + "/" + job.image1, bands=job.bands)
r = tavrel.match(left, right, **job.keywords())
m = tavrel.Matcher(left, right, **job.keywords())
assert tavrel.isa_path() == {isa!r}
import sys
sys.stdout.buffer.write(r.disparity.tobytes() + r.confidence.tobytes()
                        + m.disparity.tobytes() + m.confidence.tobytes())
"""
    env = dict(os.environ, TAVREL_ISA=isa, PYTHONPATH=str(BUILD / "python"))
    run = subprocess.run([sys.executable, "-c", "import tavrel\n" + code], env=env,
                         capture_output=True, timeout=300)
    assert run.returncode == 0, run.stderr.decode()
    expected = scene_result.disparity.tobytes() + scene_result.confidence.tobytes()
    assert run.stdout == expected + expected
