"""Basis expansions (Ansatz) for the vexal LPA solver.

A basis expands a function of q variables as u(x) = sum_b a_b phi_b(x).
The solver in ``_lpa_cpp`` evaluates the basis once, at its collocation
points, through :meth:`Ansatz.evaluate_basis`.

Classes
-------
Ansatz
    Abstract base; subclass it in Python to bring a basis of your own.
PolynomialAnsatz
    Monomials of total degree <= ``degree`` in ``inv_dim`` variables.
ChebyshevAnsatz
    Products of Chebyshev polynomials on a box ``[lower, upper]``.
"""

from collections.abc import Sequence
from typing import SupportsFloat, SupportsIndex, TypeAlias, final

import numpy as np
from numpy.typing import ArrayLike, NDArray

_Matrix: TypeAlias = NDArray[np.float64]

# pybind11 makes every class it registers with its own metaclass (a subclass
# of type, pybind11_builtins.pybind11_type); naming it keeps the stubs exact.
class _pybind11_type(type): ...

class Ansatz(metaclass=_pybind11_type):
    """Base class of the bases u(x) = sum_b a_b phi_b(x).

    A Python subclass calls ``Ansatz.__init__(self, n_coeffs)`` and defines
    ``evaluate_basis(self, grid)``; every instance may be handed to
    ``_lpa_cpp.LPACollSolver_cpp``, which calls ``evaluate_basis`` once, at
    construction, with the Python interpreter lock held.

    Parameters
    ----------
    n_coeffs : int
        Number of basis functions n (the length of a coefficient vector),
        ``>= 0``.

    Raises
    ------
    ValueError
        If ``n_coeffs`` is negative.

    Examples
    --------
    >>> class Linear(Ansatz):
    ...     def __init__(self):
    ...         Ansatz.__init__(self, 2)
    ...     def evaluate_basis(self, grid):
    ...         x = np.asarray(grid, dtype=float).reshape(len(grid), -1)[:, 0]
    ...         one, zero = np.ones_like(x), np.zeros_like(x)
    ...         return (np.column_stack([one, x]),
    ...                 [np.column_stack([zero, one])],
    ...                 [np.column_stack([zero, zero])])
    """

    def __init__(self, n_coeffs: SupportsIndex) -> None: ...
    def evaluate_basis(self, grid: ArrayLike) -> tuple[_Matrix, list[_Matrix], list[_Matrix]]:
        """Evaluate the basis functions and their derivatives at the rows of ``grid``.

        Parameters
        ----------
        grid : array_like, shape (m, q) or (m,)
            The m points, one row per point and one column per variable
            (a 1-D array of m points when q = 1). Converted to float64.

        Returns
        -------
        values : ndarray, shape (m, n)
            ``values[i, b]`` = phi_b(x_i).
        first_derivatives : list of q ndarrays, shape (m, n)
            Item j holds d phi_b / d x_j.
        second_derivatives : list of q*q ndarrays, shape (m, n)
            Item ``j*q + k`` holds d^2 phi_b / (d x_j d x_k).

        Raises
        ------
        ValueError
            If ``grid`` has more than two dimensions, or (for the product
            bases) a number of columns other than ``inv_dim``.
        NotImplementedError
            On a Python subclass that does not define ``evaluate_basis``.
        TypeError
            If a subclass's ``evaluate_basis`` returns something other than
            a triple of an array and two lists of arrays.
        """

    @property
    def n_coeffs(self) -> int:
        """Number of basis functions n (coefficients), read-only."""

@final
class PolynomialAnsatz(Ansatz):
    """Monomials x_1^e_1 ... x_q^e_q of total degree <= ``degree``.

    The basis functions come in graded lexicographic order: total degree
    ascending and, within one degree, the first variable's exponent
    descending (for q = 2, degree = 2: 1, x, y, x^2, xy, y^2).
    n = C(inv_dim + degree, degree) functions.

    Parameters
    ----------
    inv_dim : int
        Number of variables q, ``>= 0``.
    degree : int
        Largest total degree, ``>= 0``.

    Raises
    ------
    ValueError
        If an argument is negative, or the basis is too large to be built
        (more functions than a 32-bit int counts, or an exponent table
        of more than 2**28 exponents, n * inv_dim).
    """

    def __init__(self, inv_dim: SupportsIndex, degree: SupportsIndex) -> None: ...
    def __repr__(self) -> str:
        """``PolynomialAnsatz(inv_dim=q, degree=k)``."""

    @property
    def inv_dim(self) -> int:
        """Number of variables q."""

    @property
    def degree(self) -> int:
        """Largest total degree of a basis function."""

    @property
    def exponents(self) -> list[tuple[int, ...]]:
        """Exponent tuple (length q) of every basis function, in coefficient order."""

@final
class ChebyshevAnsatz(Ansatz):
    """Products T_e_1(t_1) ... T_e_q(t_q) of Chebyshev polynomials of the first kind.

    Total degree <= ``degree``, in the same order as :class:`PolynomialAnsatz`;
    t_j = (2 x_j - lower[j] - upper[j]) / (upper[j] - lower[j]) maps
    ``[lower[j], upper[j]]`` onto [-1, 1]. Values and derivatives are with
    respect to x (not t). Points outside the box are allowed (the
    polynomials are simply extrapolated).

    Parameters
    ----------
    inv_dim : int
        Number of variables q, ``>= 0``.
    degree : int
        Largest total degree, ``>= 0``.
    lower, upper : sequence of float, length inv_dim
        Ends of each variable's interval, finite, ``lower[j] < upper[j]``.

    Raises
    ------
    ValueError
        If an argument is negative, the basis is too large to be built (as
        for :class:`PolynomialAnsatz`), or ``lower`` / ``upper`` do not have
        ``inv_dim`` finite entries with ``lower[j] < upper[j]``.
    """

    def __init__(
        self,
        inv_dim: SupportsIndex,
        degree: SupportsIndex,
        lower: Sequence[SupportsFloat | SupportsIndex],
        upper: Sequence[SupportsFloat | SupportsIndex],
    ) -> None: ...
    def __repr__(self) -> str:
        """``ChebyshevAnsatz(inv_dim=q, degree=k, lower=(...), upper=(...))``."""

    @property
    def inv_dim(self) -> int:
        """Number of variables q."""

    @property
    def degree(self) -> int:
        """Largest total degree of a basis function."""

    @property
    def exponents(self) -> list[tuple[int, ...]]:
        """Exponent (Chebyshev index) tuple of every basis function, in coefficient order."""

    @property
    def lower(self) -> tuple[float, ...]:
        """Lower end of each variable's interval."""

    @property
    def upper(self) -> tuple[float, ...]:
        """Upper end of each variable's interval."""
