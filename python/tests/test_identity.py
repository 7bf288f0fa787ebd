"""The module gives the programs' bits: images, results and files."""

import numpy as np
import pytest

import tavrel
from conftest import SCENE, SHARED_DATA, copy_scene, run_batch


def output_bytes(folder):
    return (folder / "scene.dis").read_bytes()


def test_match_writes_the_batch_programs_output_file(tmp_path, scene, scene_result, cli_output):
    path = tmp_path / "match.dis"
    tavrel.write_output(str(path), scene_result)
    assert path.read_bytes() == output_bytes(cli_output)


def test_run_directions_writes_the_same_files(tmp_path, cli_output):
    folder = copy_scene(tmp_path)
    stages = []
    written = tavrel.run_directions(
        str(folder / "scene.cpd"), progress=lambda *report: stages.append(report)
    )
    assert written == [str(folder / "scene.dis")]
    assert output_bytes(folder) == output_bytes(cli_output)
    assert stages[0] == ("entry", 1, 1)
    assert stages[1] == ("L0", 1, 1)
    assert [s for s in stages if s[0] == "iteration"] == [("iteration", i, 10) for i in range(1, 11)]
    assert stages[-2:] == [("extraction", 1, 1), ("writing", 1, 1)]


def test_matcher_and_its_further_iterations_give_the_same_file(tmp_path, scene, cli_output):
    job, left, right = scene
    keywords = job.keywords()
    keywords["iterations"] = 7
    matcher = tavrel.Matcher(left, right, **keywords)
    matcher.iterate(2)
    matcher.iterate()
    assert matcher.iteration_count == 10
    tavrel.write_output(str(tmp_path / "m.dis"), matcher)
    assert (tmp_path / "m.dis").read_bytes() == output_bytes(cli_output)


def test_read_output_gives_the_written_decimals(scene_result, cli_output):
    read = tavrel.read_output(str(cli_output / "scene.dis"))
    assert read.iterations is None
    for name in ("disparity", "confidence"):
        exact = getattr(scene_result, name)
        decimals = np.array([float("%f" % v) for v in exact.ravel()]).astype(np.float32)
        assert np.array_equal(getattr(read, name), decimals.reshape(exact.shape))


def test_written_arrays_read_back_and_write_the_same_bytes(tmp_path, cli_output):
    read = tavrel.read_output(str(cli_output / "scene.dis"))
    tavrel.write_output(str(tmp_path / "again.dis"), read.disparity, read.confidence)
    assert (tmp_path / "again.dis").read_bytes() == output_bytes(cli_output)


def test_pfm_is_the_batch_programs_and_reads_back_exactly(tmp_path, scene_result, cli_output):
    path = tmp_path / "d.pfm"
    tavrel.write_pfm(str(path), scene_result.disparity)
    assert path.read_bytes() == (cli_output / "scene.pfm").read_bytes()
    back = tavrel.read_pfm(str(path))
    assert back.dtype == np.float32 and back.shape == scene_result.disparity.shape
    assert np.array_equal(back, scene_result.disparity)


def test_eight_bit_arrays_in_either_channel_order_match_the_loaded_images(scene, scene_result):
    job, left, right = scene
    bgr_left, bgr_right = left.astype(np.uint8), right.astype(np.uint8)
    for order, l, r in (
        ("bgr", bgr_left, bgr_right),
        ("rgb", bgr_left[:, :, ::-1], bgr_right[:, :, ::-1]),
    ):
        result = tavrel.match(l, r, channel_order=order, **job.keywords())
        assert np.array_equal(result.disparity, scene_result.disparity), order
        assert np.array_equal(result.confidence, scene_result.confidence), order


def test_grey_arrays_match_one_band_images(scene):
    job, left, right = scene
    keywords = job.keywords()
    grey_left = tavrel.load_image(str(SCENE / job.image0), bands=1)
    grey_right = tavrel.load_image(str(SCENE / job.image1), bands=1)
    assert grey_left.shape == left.shape[:2] + (1,)
    expected = tavrel.match(grey_left, grey_right, **keywords)
    as_uint8 = tavrel.match(
        grey_left[:, :, 0].astype(np.uint8), grey_right[:, :, 0].astype(np.uint8), **keywords
    )
    assert np.array_equal(as_uint8.disparity, expected.disparity)


def test_a_larger_right_image_contributes_its_top_left_part(scene, scene_result):
    job, left, right = scene
    larger = np.pad(right, ((0, 5), (0, 9), (0, 0)), constant_values=200.0)
    result = tavrel.match(left, larger, **job.keywords())
    assert np.array_equal(result.disparity, scene_result.disparity)


@pytest.mark.parametrize("name", ["teddy", "cones"])
def test_real_scene_matches_the_batch_program(tmp_path, name):
    source = SHARED_DATA / name
    if not (source / "scene.cpd").exists():
        pytest.skip("no real data here")
    job = tavrel.read_directions(str(source / "scene.cpd"))[0]
    left = tavrel.load_image(str(source / job.image0), bands=job.bands)
    right = tavrel.load_image(str(source / job.image1), bands=job.bands)
    tavrel.write_output(str(tmp_path / "py.dis"), tavrel.match(left, right, **job.keywords()))
    folder = tmp_path / "cli"
    folder.mkdir()
    for f in (job.image0, job.image1, "scene.cpd"):
        (folder / f).write_bytes((source / f).read_bytes())
    run_batch(folder / "scene.cpd")
    assert (tmp_path / "py.dis").read_bytes() == (folder / job.output_file).read_bytes()

