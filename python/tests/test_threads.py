"""Threads change the speed, never the bits; the GIL is free while computing."""

import concurrent.futures
import os
import subprocess
import sys
import threading

import numpy as np

import tavrel
from conftest import SCENE


def test_any_thread_count_gives_the_same_bits(scene, scene_result):
    job, left, right = scene
    for threads in (1, 2, 3, 10**6):
        result = tavrel.match(left, right, threads=threads, **job.keywords())
        assert np.array_equal(result.disparity, scene_result.disparity), threads
        assert np.array_equal(result.confidence, scene_result.confidence), threads


def test_parallel_workers_each_with_a_share_of_the_cores(scene, scene_result):
    job, left, right = scene
    with concurrent.futures.ThreadPoolExecutor(max_workers=2) as pool:
        results = list(
            pool.map(lambda _: tavrel.match(left, right, threads=1, **job.keywords()), range(4))
        )
    for result in results:
        assert np.array_equal(result.disparity, scene_result.disparity)


def test_python_runs_while_the_engine_computes(scene):
    job, left, right = scene
    keywords = job.keywords()
    keywords["iterations"] = 150
    worker = threading.Thread(target=lambda: tavrel.match(left, right, threads=1, **keywords))
    worker.start()
    spins = 0
    while worker.is_alive():
        spins += 1
    worker.join()
    assert spins > 10000


def test_threads_sharing_one_matcher_take_turns(scene):
    job, left, right = scene
    keywords = job.keywords()
    keywords["iterations"] = 0
    shared = tavrel.Matcher(left, right, **keywords)
    workers = [threading.Thread(target=shared.iterate, args=(3,)) for _ in range(2)]
    for w in workers:
        w.start()
    for w in workers:
        w.join()
    keywords["iterations"] = 6
    alone = tavrel.Matcher(left, right, **keywords)
    assert shared.iteration_count == 6
    assert np.array_equal(shared.ln, alone.ln)
    assert np.array_equal(shared.disparity, alone.disparity)


def test_threads_may_be_the_first_to_use_the_module(tmp_path):
    script = (
        "import concurrent.futures, sys\n"
        "import tavrel\n"
        "with concurrent.futures.ThreadPoolExecutor(4) as pool:\n"
        "    shapes = list(pool.map(lambda _: tavrel.load_image(sys.argv[1]).shape, range(4)))\n"
        "assert len(set(shapes)) == 1\n"
    )
    subprocess.run(
        [sys.executable, "-c", script, str(SCENE / "left.bmp")],
        check=True, timeout=120, env=dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path)),
    )
