"""The reference-leak hunt itself (tests/python/_refleaks.py), on a debug
build of CPython: it must catch a function that keeps one object per call,
and pass one that fills a cache once or keeps nothing."""

import sys
import types

import pytest

import _refleaks

pytestmark = [
    pytest.mark.skipif(not hasattr(sys, "gettotalrefcount"), reason="needs a debug build of CPython"),
    pytest.mark.no_refleak_repeat("runs the hunt on functions of its own"),
]

_kept = []
_cache = {}
_shared = object()


def _item(function):
    """The parts of a pytest item that the hunt reads."""
    return types.SimpleNamespace(
        nodeid=f"hunted::{function.__name__}",
        module=types.SimpleNamespace(__name__="hunted"),
        get_closest_marker=lambda name: None,
        obj=function,
        funcargs={},
        _fixtureinfo=types.SimpleNamespace(argnames=()),
    )


def _hunt(function, warmup=2, repeat=3):
    return _refleaks._Hunter(warmup, repeat, None).run(_item(function))


def keeps_one_object_per_call():
    _kept.append(object())


def keeps_one_reference_per_call():
    _kept.append(_shared)  # no new object: one more reference to the same one


def fills_a_cache_on_its_third_call():
    _cache.setdefault("calls", []).append(None)
    if len(_cache["calls"]) == 3:
        _cache["late"] = [object()]


def keeps_nothing():
    [object() for _ in range(100)]


@pytest.mark.parametrize("leaking", [keeps_one_object_per_call, keeps_one_reference_per_call])
def test_a_leak_in_every_call_fails(leaking):
    with pytest.raises(pytest.fail.Exception, match="leaked: reference count deltas"):
        _hunt(leaking)
    _kept.clear()


@pytest.mark.parametrize("clean", [fills_a_cache_on_its_third_call, keeps_nothing])
def test_a_cache_filled_once_or_nothing_kept_passes(clean):
    assert _hunt(clean) is True
    _cache.clear()
