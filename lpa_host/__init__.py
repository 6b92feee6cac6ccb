"""Host side of the Wilson-Fisher example: the O(N) fixed-point equation in the
local potential approximation as numba cfuncs, the fixed-point search with the
compiled collocation solver, critical exponents from the linearised flow and an
independent shooting solution of the same equation."""

from .scan import scan  # noqa: F401
