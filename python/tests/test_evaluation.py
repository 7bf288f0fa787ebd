"""evaluate is tavrel-score's scorer: the same figures under its JSON keys."""

import json
import subprocess

import numpy as np
import pytest

import tavrel
from conftest import BUILD, SCENE

SCORE = BUILD / "score" / "tavrel-score"
TRUTH = SCENE / "ground_truth.pfm"


def score_json(*arguments):
    if not SCORE.exists():
        pytest.skip("tavrel-score is not built")
    done = subprocess.run([str(SCORE), *map(str, arguments), "--json"], check=True,
                          capture_output=True, text=True)
    return json.loads(done.stdout)


@pytest.fixture(scope="module")
def mask_file(tmp_path_factory, scene_result):
    """A PGM mask that leaves the left third out (0) and marks a band occluded (128)."""
    rows, columns = scene_result.disparity.shape
    mask = np.full((rows, columns), 255, np.uint8)
    mask[:, : columns // 3] = 0
    mask[50:80, :] = 128
    path = tmp_path_factory.mktemp("mask") / "mask.pgm"
    path.write_bytes(b"P5\n%d %d\n255\n" % (columns, rows) + mask.tobytes())
    return path


def test_the_same_figures_as_tavrel_score(cli_output, mask_file):
    output = cli_output / "scene.dis"
    read = tavrel.read_output(str(output))
    assert tavrel.evaluate(read.disparity, tavrel.read_pfm(str(TRUTH))) == score_json(output, TRUTH)
    assert tavrel.evaluate(str(output), str(TRUTH)) == score_json(output, TRUTH)
    mask = tavrel.load_image(str(mask_file), bands=1)
    for value in (255, 128):
        expected = score_json(output, TRUTH, "--mask", mask_file, "--mask-value", value,
                              "--border", 3)
        assert tavrel.evaluate(read.disparity, str(TRUTH), mask, border=3,
                               mask_value=value) == expected
        assert expected["pixels"] < read.disparity.size


def test_sign_and_border(scene_result):
    truth = tavrel.read_pfm(str(TRUTH))
    usual = tavrel.evaluate(scene_result.disparity, truth)
    same = tavrel.evaluate(-scene_result.disparity, truth, same_sign=True)
    assert usual == same
    assert tavrel.evaluate(scene_result.disparity, truth, same_sign=True)["bad4"] > 50
    nothing = tavrel.evaluate(scene_result.disparity, truth, border=1000)
    assert nothing["pixels"] == 0 and nothing["bad2"] is None and nothing["mae"] is None


def test_unusable_maps_are_refused(scene_result, tmp_path):
    truth = tavrel.read_pfm(str(TRUTH))
    with pytest.raises(ValueError):
        tavrel.evaluate(scene_result.disparity[1:], truth)
    with pytest.raises(ValueError):
        tavrel.evaluate(scene_result.disparity, truth, border=-1)
    with pytest.raises(TypeError):
        tavrel.evaluate(scene_result.disparity.astype(np.complex64), truth)
    with pytest.raises(FileNotFoundError):
        tavrel.evaluate(scene_result.disparity, str(tmp_path / "absent.pfm"))
    (tmp_path / "bad.pfm").write_bytes(b"P5\n1 1\n255\n\0")
    with pytest.raises(ValueError):
        tavrel.evaluate(scene_result.disparity, str(tmp_path / "bad.pfm"))
