"""Shared fixtures: small media, the dace tool, and hypothesis's settings.

DACE_HYPOTHESIS_PROFILE=long runs the randomized model much longer, with
fresh random choices each time (the default run is short and repeatable).
"""
import os
import subprocess

import pytest

import libdace

try:
    from hypothesis import HealthCheck, settings
except ImportError:  # the model test skips itself
    settings = None

if settings is not None:
    settings.register_profile(
        "default",
        max_examples=40,
        stateful_step_count=30,
        deadline=None,
        derandomize=True,
        database=None,
        suppress_health_check=[HealthCheck.too_slow],
    )
    settings.register_profile(
        "long", max_examples=1000, stateful_step_count=80, deadline=None, database=None
    )
    settings.load_profile(os.environ.get("DACE_HYPOTHESIS_PROFILE", "default"))

# 64 clusters of 256 bytes (248 of payload): small enough to fill quickly.
SMALL = dict(total_pages=256, page_size=64, clus_pages=4)


@pytest.fixture
def image():
    return libdace.Image(**SMALL)


@pytest.fixture
def tool():
    """Runs the dace tool; skips where the build did not give its path."""
    path = os.environ.get("DACE_TOOL")
    if not path or not os.access(path, os.X_OK):
        pytest.skip("DACE_TOOL does not name the dace tool (CTest sets it)")

    def run(*args, check=True, input=None):
        # A sanitizer runtime preloaded for this interpreter is not the tool's.
        env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
        result = subprocess.run(
            [path, *map(str, args)], capture_output=True, input=input, check=False, env=env
        )
        if check and result.returncode != 0:
            raise AssertionError(f"dace {' '.join(map(str, args))}: {result.stderr.decode()}")
        return result

    return run
