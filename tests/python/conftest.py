import numpy as np
import pytest


@pytest.fixture
def rng():
    """A seeded generator, so that random test data is the same on every run."""
    return np.random.default_rng(20240611)
