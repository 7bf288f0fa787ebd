"""The volumes' views: no copy, read-only, and they keep their Matcher alive."""

import gc
import weakref

import numpy as np
import pytest

import tavrel


@pytest.fixture
def matcher(scene):
    job, left, right = scene
    keywords = job.keywords()
    keywords["iterations"] = 2
    return tavrel.Matcher(left, right, **keywords)


def test_views_share_the_volumes_and_refuse_writes(matcher):
    rows, columns = matcher.disparity.shape
    disparities = matcher.max_disparity - matcher.min_disparity
    for view in (matcher.l0, matcher.ln):
        assert view.shape == (rows, columns, disparities) and view.dtype == np.float32
        with pytest.raises(ValueError):
            view[10, 10, 3] = 1.0
    assert np.shares_memory(matcher.ln, matcher.ln)
    assert not np.shares_memory(matcher.l0, matcher.ln)


def test_a_view_keeps_its_matcher_alive(scene):
    job, left, right = scene
    matcher = tavrel.Matcher(left, right, **job.keywords())
    view = matcher.ln
    expected = view.copy()
    alive = weakref.ref(matcher)
    del matcher
    gc.collect()
    assert alive() is not None
    np.testing.assert_array_equal(view, expected)
    del view
    gc.collect()
    assert alive() is None


def test_iterate_changes_the_viewed_values_in_place(matcher, scene):
    job, left, right = scene
    view = matcher.ln
    before = view.copy()
    matcher.iterate(1)
    assert not np.array_equal(view, before)
    keywords = job.keywords()
    keywords["iterations"] = 3
    fresh = tavrel.Matcher(left, right, **keywords)
    assert np.array_equal(view, fresh.ln)
    assert np.array_equal(matcher.l0, fresh.l0)
    assert np.array_equal(matcher.disparity, fresh.disparity)


def test_maps_are_copies_the_matcher_does_not_see(matcher):
    disparity = matcher.disparity
    disparity[:] = 0
    assert matcher.disparity.any()
    result = matcher.result()
    assert result.iterations == matcher.iteration_count == 2
    assert np.array_equal(result.confidence, matcher.confidence)
