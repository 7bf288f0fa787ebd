"""Shared fixtures: the module from the build tree, the bundled scene and the
programs built beside it."""

import os
import pathlib
import shutil
import subprocess
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
BUILD = pathlib.Path(os.environ.get("TAVREL_BUILD_DIR", ROOT / "build"))
if str(BUILD / "python") not in sys.path:
    sys.path.insert(0, str(BUILD / "python"))

import tavrel  # noqa: E402

SCENE = ROOT / "examples" / "scene"
SHARED_DATA = pathlib.Path(os.environ.get("TAVREL_SHARED_DATA", ROOT.parent / "shared" / "data"))
BATCH = BUILD / "cli" / "tavrel-batch"


def copy_scene(folder):
    """A private copy of the bundled scene, so that runs write beside it."""
    target = pathlib.Path(folder) / "scene"
    shutil.copytree(SCENE, target)
    return target


def run_batch(directions, *options):
    """Runs tavrel-batch quietly; its output file's bytes."""
    if not BATCH.exists():
        pytest.skip("tavrel-batch is not built")
    subprocess.run([str(BATCH), "-q", *options, str(directions)], check=True)


@pytest.fixture(scope="session")
def scene():
    """The scene's directions entry and its images as the programs load them."""
    job = tavrel.read_directions(str(SCENE / "scene.cpd"))[0]
    left = tavrel.load_image(str(SCENE / job.image0), bands=job.bands)
    right = tavrel.load_image(str(SCENE / job.image1), bands=job.bands)
    return job, left, right


@pytest.fixture(scope="session")
def scene_result(scene):
    job, left, right = scene
    return tavrel.match(left, right, **job.keywords())


@pytest.fixture(scope="session")
def cli_output(tmp_path_factory):
    """The bundled scene's output file as tavrel-batch writes it (with --pfm)."""
    folder = copy_scene(tmp_path_factory.mktemp("cli"))
    run_batch(folder / "scene.cpd", "--pfm")
    return folder
