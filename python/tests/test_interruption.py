"""Ctrl-C and errors raised by the progress callback stop a computation
between iterations and leave every object usable."""

import os
import signal
import threading
import time

import numpy as np
import pytest

import tavrel
from conftest import copy_scene


class Stop(Exception):
    pass


def stop_at(stage, step):
    def progress(s, i, n):
        if (s, i) == (stage, step):
            raise Stop()

    return progress


def test_ctrl_c_raises_keyboard_interrupt_within_one_iteration(scene):
    job, left, right = scene
    keywords = job.keywords()
    keywords["iterations"] = 100000
    seen = []
    started = threading.Event()

    def progress(stage, step, steps):
        seen.append(step)
        if step == 3:
            started.set()

    def interrupt():
        if started.wait(60):
            seen.append("signal")
            os.kill(os.getpid(), signal.SIGINT)

    threading.Thread(target=interrupt).start()
    with pytest.raises(KeyboardInterrupt):
        tavrel.match(left, right, progress=progress, **keywords)
    after = seen[seen.index("signal") + 1:]
    assert len(after) <= 1


def test_ctrl_c_without_a_progress_callback(scene):
    job, left, right = scene
    keywords = job.keywords()
    keywords["iterations"] = 100000
    timer = threading.Timer(0.5, lambda: os.kill(os.getpid(), signal.SIGINT))
    timer.start()
    begun = time.monotonic()
    with pytest.raises(KeyboardInterrupt):
        tavrel.match(left, right, **keywords)
    assert time.monotonic() - begun < 30


def test_a_callbacks_error_propagates_and_leaves_nothing_half_made(scene, scene_result):
    job, left, right = scene
    for stage, step in (("L0", 1), ("iteration", 4), ("extraction", 1)):
        with pytest.raises(Stop):
            tavrel.match(left, right, progress=stop_at(stage, step), **job.keywords())
        with pytest.raises(Stop):
            tavrel.Matcher(left, right, progress=stop_at(stage, step), **job.keywords())
    again = tavrel.match(left, right, **job.keywords())
    assert np.array_equal(again.disparity, scene_result.disparity)


def test_interrupted_iterations_leave_maps_of_the_iterations_done(scene):
    job, left, right = scene
    keywords = job.keywords()
    keywords["iterations"] = 2
    matcher = tavrel.Matcher(left, right, **keywords)
    with pytest.raises(Stop):
        matcher.iterate(50, progress=stop_at("iteration", 3))
    assert matcher.iteration_count == 4
    keywords["iterations"] = 4
    fresh = tavrel.Matcher(left, right, **keywords)
    assert np.array_equal(matcher.ln, fresh.ln)
    assert np.array_equal(matcher.disparity, fresh.disparity)
    matcher.iterate(1)
    assert matcher.iteration_count == 5


def test_an_interrupted_batch_run_writes_no_file_for_its_entry(tmp_path):
    folder = copy_scene(tmp_path)
    with pytest.raises(Stop):
        tavrel.run_directions(str(folder / "scene.cpd"), progress=stop_at("iteration", 5))
    assert not (folder / "scene.dis").exists()
