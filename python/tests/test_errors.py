"""Each kind of failure raises its Python exception with the programs' text,
and never takes the process down."""

import re
import subprocess

import numpy as np
import pytest

import tavrel
from conftest import BATCH, copy_scene

NEEDS = r"\nthe job needs about \d+ MiB, and \d+ MiB are available$"

KEYWORDS = dict(min_disparity=-8, max_disparity=-1, iterations=1)


@pytest.fixture
def pair():
    rng = np.random.default_rng(7)
    image = rng.integers(0, 256, size=(24, 32, 3), dtype=np.uint8)
    return image, np.roll(image, 3, axis=1)


@pytest.mark.parametrize(
    "left, message",
    [
        (np.zeros((24, 32, 3), np.float64), "image 0 must be float32 or uint8, not float64"),
        (np.zeros((24, 32), np.int16), "image 0 must be float32 or uint8, not int16"),
        ([[1, 2], [3, 4]], "image 0 must be a numpy array, not list"),
    ],
)
def test_wrong_dtype_is_a_type_error(pair, left, message):
    with pytest.raises(TypeError, match=message):
        tavrel.match(left, pair[1], **KEYWORDS)


@pytest.mark.parametrize(
    "change, message",
    [
        (dict(right=np.zeros((23, 32, 3), np.uint8)),
         r"image 1 \(32 x 23 x 3\) is smaller than image 0 \(32 x 24 x 3\)"),
        (dict(right=np.zeros((24, 32), np.uint8)),
         r"the images have different band counts \(3 and 1\)"),
        (dict(left=np.zeros((24, 32, 4), np.uint8)),
         r"image 0 must have the shape \(rows, columns\), \(rows, columns, 1\) or "
         r"\(rows, columns, 3\), not \(24, 32, 4\)"),
        (dict(left=np.zeros(5, np.float32)), r"not \(5,\)"),
        (dict(left=np.zeros((0, 32, 3), np.uint8)), r"image 0 is empty \(32 x 0 x 3\)"),
        (dict(min_disparity=4, max_disparity=4),
         r"MaxDisparity \(4\) must be greater than MinDisparity \(4\)"),
        (dict(win_rad_l0=8), "WinRadL0 must be from 0 to 7, not 8"),
        (dict(win_rad_rc=-1), "WinRadRC must be from 0 to 7, not -1"),
        (dict(win_rad_d=3), "WinRadD must be from 0 to 2, not 3"),
        (dict(iterations=-1), "iterations must be 0 or more, not -1"),
        (dict(threads=0), "threads must be 1 or more, not 0"),
        (dict(channel_order="rbg"), 'channel_order must be "bgr" or "rgb", not "rbg"'),
    ],
)
def test_unusable_inputs_are_value_errors(pair, change, message):
    arguments = dict(left=pair[0], right=pair[1], **KEYWORDS)
    arguments.update(change)
    with pytest.raises(ValueError, match=message):
        tavrel.match(**arguments)
    with pytest.raises(ValueError, match=message):
        tavrel.Matcher(**arguments)


def test_bad_values_for_matcher_iterate_and_load_image(pair):
    matcher = tavrel.Matcher(*pair, **KEYWORDS)
    with pytest.raises(ValueError, match="n must be 0 or more, not -2"):
        matcher.iterate(-2)
    with pytest.raises(TypeError, match="progress must be callable"):
        tavrel.match(*pair, progress=3, **KEYWORDS)
    with pytest.raises(ValueError, match="bands must be 1 or 3, not 2"):
        tavrel.load_image("whatever.bmp", bands=2)


def test_a_volume_too_large_for_memory_is_a_memory_error(tmp_path, pair):
    huge = dict(min_disparity=0, max_disparity=2_000_000_000)
    first = "^Not enough memory for a match volume of 24 x 32 x 2000000000"
    with pytest.raises(MemoryError, match=first + NEEDS):
        tavrel.match(*pair, **huge)
    with pytest.raises(MemoryError, match=first + NEEDS):
        tavrel.Matcher(*pair, **huge)
    folder = copy_scene(tmp_path)
    text = (folder / "scene.cpd").read_text().replace("-28", "-2000000000")
    (folder / "scene.cpd").write_text(text)
    first = "^Not enough memory for a match volume of 240 x 320 x 1999999999"
    with pytest.raises(MemoryError, match=first + NEEDS) as raised:
        tavrel.run_directions(str(folder / "scene.cpd"))
    if BATCH.exists():
        run = subprocess.run([str(BATCH), "-q", str(folder / "scene.cpd")], capture_output=True, text=True)
        given = run.stderr.removeprefix("tavrel-batch: ").rstrip("\n")
        # The figures may differ by what the system gave back meanwhile.
        assert re.sub(r"\d+ MiB", "N MiB", given) == re.sub(r"\d+ MiB", "N MiB", str(raised.value))


def test_missing_files_are_file_not_found_errors(tmp_path):
    missing = str(tmp_path / "nothing")
    cases = [
        (lambda: tavrel.load_image(missing), "Couldn't open image - " + missing),
        (lambda: tavrel.read_directions(missing), "Couldn't open " + missing),
        (lambda: tavrel.run_directions(missing), "Couldn't open " + missing),
        (lambda: tavrel.read_output(missing), missing),
        (lambda: tavrel.read_pfm(missing), missing),
    ]
    for call, message in cases:
        with pytest.raises(FileNotFoundError) as raised:
            call()
        assert message in str(raised.value)


def test_an_entry_with_a_missing_image_stops_the_run_after_earlier_entries(tmp_path):
    folder = copy_scene(tmp_path)
    first = (folder / "scene.cpd").read_text()
    second = first.replace("right.bmp", "absent.bmp").replace("scene.dis", "second.dis")
    (folder / "scene.cpd").write_text(first + "\n" + second)
    with pytest.raises(FileNotFoundError, match="Couldn't open image - absent.bmp"):
        tavrel.run_directions(str(folder / "scene.cpd"))
    assert (folder / "scene.dis").exists()
    assert not (folder / "second.dis").exists()


def test_unreadable_contents_are_value_errors(tmp_path):
    (tmp_path / "bad.cpd").write_text("left.bmp right.bmp 3\nMinDisparity x\n")
    (tmp_path / "bad.bmp").write_bytes(b"BM not really a picture")
    (tmp_path / "bad.dis").write_text("2 1\n0.5 1.0\n0.25\n")
    (tmp_path / "long.dis").write_text("1 1\n0.5 1.0\n7 7\n")
    (tmp_path / "huge.dis").write_text("100000 100000\n")
    (tmp_path / "bad.pfm").write_bytes(b"PF\n1 1\n-1\n" + bytes(12))
    cases = [
        (lambda: tavrel.read_directions(str(tmp_path / "bad.cpd")), "in.dat :: Can't Read MinDisparity"),
        (lambda: tavrel.load_image(str(tmp_path / "bad.bmp")), "Couldn't open image - "),
        (lambda: tavrel.read_output(str(tmp_path / "bad.dis")), r"pixel \(0, 1\) is missing"),
        (lambda: tavrel.read_output(str(tmp_path / "long.dis")), "more than 1 x 1 pixels"),
        (lambda: tavrel.read_output(str(tmp_path / "huge.dis")), "too short"),
        (lambda: tavrel.read_pfm(str(tmp_path / "bad.pfm")), "as a grey PFM file"),
    ]
    for call, message in cases:
        with pytest.raises(ValueError, match=message):
            call()


def test_directions_values_no_job_can_use_are_refused_on_reading(tmp_path):
    text = (copy_scene(tmp_path) / "scene.cpd").read_text()
    (tmp_path / "bands.cpd").write_text(text.replace("right.bmp 3", "right.bmp 2"))
    with pytest.raises(ValueError, match="in.dat :: Number of Color Bands must be 1 or 3"):
        tavrel.read_directions(str(tmp_path / "bands.cpd"))


@pytest.mark.parametrize(
    "change, first, place",
    [
        (("MinDisparity", "MinDisparty"), "in.dat :: Can't Read MinDisparity",
         'entry 2, line 12: found "MinDisparty"'),
        (("WinRadRC \t2", "WinRadRC \t2.5"), "in.dat :: Can't Read WinRadD",
         "entry 2, line 15"),
        (("right.bmp 3", "right.bmp 2"), "in.dat :: Number of Color Bands must be 1 or 3",
         'entry 2, line 11: found "2"'),
    ],
)
def test_directions_errors_name_the_place_on_a_second_line(tmp_path, change, first, place):
    entry = (copy_scene(tmp_path) / "scene.cpd").read_text().rstrip("\n") + "\n"
    path = tmp_path / "two.cpd"
    path.write_text(entry + entry.replace(*change))
    with pytest.raises(ValueError) as raised:
        tavrel.read_directions(str(path))
    lines = str(raised.value).split("\n")
    assert lines[0] == first
    assert lines[1].startswith(f"{path}, {place}")


def test_files_that_cannot_be_written_are_os_errors(tmp_path, pair):
    result = tavrel.match(*pair, **KEYWORDS)
    target = str(tmp_path / "no folder" / "out.dis")
    with pytest.raises(OSError, match="could not write " + target):
        tavrel.write_output(target, result)
    with pytest.raises(OSError, match="could not write"):
        tavrel.write_pfm(str(tmp_path / "no folder" / "d.pfm"), result.disparity)
    with pytest.raises(ValueError, match="the same shape"):
        tavrel.write_output(str(tmp_path / "x.dis"), result.disparity, result.confidence[1:])
    folder = copy_scene(tmp_path)
    text = (folder / "scene.cpd").read_text().replace("scene.dis", "missing/scene.dis")
    (folder / "scene.cpd").write_text(text)
    with pytest.raises(OSError, match="could not write .*missing/scene.dis"):
        tavrel.run_directions(str(folder / "scene.cpd"))
