"""Every public operation, error paths included, thousands of times: memory and references stay flat.

The loop itself is in leak_workload.py; its figures are printed at the end of the run.
"""
import os

import pytest

import conftest
import leak_workload

ROUNDS = 1000  # run twice; each round runs every operation once or more


@pytest.fixture(scope="module")
def figures():
    figures = leak_workload.measure(ROUNDS)
    conftest.SUMMARY_LINES.append("leak check: " + leak_workload.describe(figures))
    return figures


def test_traced_python_memory_stays_flat(figures):
    # One object kept per round would be 32 KB and more per run.
    _, second_run = leak_workload.growth(figures, "traced")
    assert second_run < 8 * 1024


@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                    reason="AddressSanitizer's quarantine holds freed memory resident")
def test_resident_set_stays_flat(figures):
    _, second_run = leak_workload.growth(figures, "rss")
    assert second_run < 512 * 1024


def test_total_reference_count_stays_flat(figures):
    if figures["refcount"] is None:
        pytest.skip("sys.gettotalrefcount needs a debug interpreter")
    # One reference kept per round would be ROUNDS and more per run.
    assert all(abs(delta) < ROUNDS // 10 for delta in leak_workload.growth(figures, "refcount"))
