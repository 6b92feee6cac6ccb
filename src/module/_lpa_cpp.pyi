"""C++ backend for the vexal LPA module.

Collocation and Newton solver for fixed points of renormalisation-group
flows. A potential u(x) = sum_b a_b phi_b(x) is expanded in an
``_core_cpp.Ansatz``; the flow equation, compiled by the host to native
routines whose addresses the solver receives, is imposed at m collocation
points, and Newton iteration (Gauss-Newton when m > n) solves for the n
coefficients a.

Routines
--------
The solver calls up to four host routines by address (plain C functions or
numba ``cfunc``s; ``f.address`` of a numba ``cfunc`` is such an address).
Arrays are contiguous float64, counts are 32-bit ``int`` (declare them
``int32`` in numba, never ``int64``), nothing is returned. With m points, q
grid columns, d = ``inv_dim`` and point p:

- ``points[p*q + x]``: coordinate x of point p (row-major grid; q is not
  passed, the routine must know it);
- ``vals[p]`` = u, ``grads[p*d + a]`` = du/dx_a,
  ``hess[p*d*d + j*d + k]`` = d2u/(dx_j dx_k) at point p;
- ``flow_params``: the flow-parameter vector of the solve (its length is not
  passed; an empty one may arrive as a null address).

``cfunc_ptr`` (required)
    ``void flow(points, vals, grads, hess, flow_params, out, int n_points,
    int inv_dim)``: write the residual ``out[p]`` of the flow equation at
    every point p.
``batch_cfunc_ptr`` (optional, 0 = absent)
    ``void batch(points, vals, grads, hess, flow_params, out, int n_points,
    int n_batch, int inv_dim)``: n_batch states at once; ``vals``, ``grads``,
    ``hess`` and ``out`` are row-major m x n_batch, state s of point p at
    ``p*n_batch + s``, and column s of ``out`` must equal what ``flow``
    writes for state s. Only ever called with ``inv_dim == 1``.
``sens_cfunc_ptr``, ``sens_par_cfunc_ptr`` (optional, 0 = absent)
    ``void sens(points, vals, grads, hess, flow_params, sens_vals,
    sens_grads, sens_hess, int n_points)``: write the partial derivatives
    of ``out[p]``: ``sens_vals[p]`` with respect to ``vals[p]`` (length m),
    ``sens_grads[p*d + a]`` with respect to ``grads[p*d + a]`` (m*d) and
    ``sens_hess[p*d*d + e]`` with respect to ``hess[p*d*d + e]`` (m*d*d,
    every entry a separate variable); d is not passed. Both compute the
    same. While ``sens_cfunc_ptr`` is given, ``sens_par_cfunc_ptr`` is only
    called from outside OpenMP parallel regions and may spread its work
    over threads of its own.

Every routine must write every entry of its outputs, never write its inputs,
keep the equation local (``out[p]`` depends on point p and ``flow_params``
only), and return normally: it has no way to report failure (an entry left
unwritten holds NaN, which makes the run fail rather than succeed). All
solves run without the Python interpreter lock, on the calling thread and on
OpenMP threads: ``flow`` and ``sens`` must be reentrant, and a routine that
touches Python objects must take the lock itself. Addresses are valid only
in the process that compiled the routines.
"""

from collections.abc import Sequence
from typing import SupportsFloat, SupportsIndex, TypeAlias

import numpy as np
from numpy.typing import ArrayLike, NDArray

import _core_cpp

_Count: TypeAlias = SupportsIndex
_Address: TypeAlias = SupportsIndex
_Tol: TypeAlias = SupportsFloat | SupportsIndex

# pybind11 makes every class it registers with its own metaclass (a subclass
# of type, pybind11_builtins.pybind11_type); naming it keeps the stubs exact.
class _pybind11_type(type): ...

class OptimizeResult(metaclass=_pybind11_type):
    """The outcome of one Newton run.

    Instances come only out of the solver's methods (calling
    ``OptimizeResult()`` raises TypeError). Each owns its record; it stays
    valid after the solver is gone. Every property is read-only.
    """

    @property
    def coeffs(self) -> NDArray[np.float64]:
        """Coefficients a at the end of the run, shape (n,), float64.

        A read-only view of the result's own storage; it keeps the result
        alive.
        """

    @property
    def success(self) -> bool:
        """Whether the run met its criterion.

        ``local_optimize`` (and each result of ``param_path_following`` and
        ``multistart_optimize``): ``tol >= error``, so a NaN error is never a
        success. ``local_optimize_fixed_iterations``: ``error`` is finite.
        """

    @property
    def iterations(self) -> int:
        """Number of Newton corrections applied to the start."""

    @property
    def error(self) -> float:
        """Absolute Euclidean norm ||r||_2 of the last residual vector evaluated.

        r holds the m values ``out[p]`` written by the flow routine; the
        norm is not divided by m or by any scale. It is 1e9 when no residual
        was evaluated (``maxiter <= 0``). The residual belongs to the
        coefficients *before* the last correction when the run stopped at
        ``maxiter``, and to ``coeffs`` when it stopped at ``tol`` or in
        ``local_optimize_fixed_iterations``.
        """

class LPACollSolver_cpp(metaclass=_pybind11_type):
    """Collocation and Newton solver for a fixed point of a flow.

    Construction evaluates ``ansatz`` once at the rows of ``coll_grid`` and
    keeps the tables; after that the solver is read-only, and its methods
    may run at once from several Python threads (they release the
    interpreter lock).

    Ctrl-C (SIGINT) stops a method called from the main thread within a
    moment (it is checked between Newton iterations, starts and path points)
    and raises ``KeyboardInterrupt``, or whatever Python's SIGINT handler
    raises; the solver stays usable. A call from another thread runs to its
    end.

    Parameters
    ----------
    coll_grid : array_like, shape (m, q) or (m,)
        The m collocation points, one row each (a 1-D array is m x 1).
        Converted to float64; m must be at least ``ansatz.n_coeffs``.
    ansatz : _core_cpp.Ansatz
        The basis; shared, not copied.
    cfunc_ptr : int
        Address of the flow routine (required, nonzero); see the module
        docstring for the calling contract of all four routines.
    batch_cfunc_ptr : int
        Address of the batched flow routine, or 0.
    sens_cfunc_ptr : int
        Address of the sensitivity routine, or 0.
    sens_par_cfunc_ptr : int
        Address of the sensitivity routine for large multithreaded solves,
        or 0.
    inv_dim : int
        d, the number of coordinates whose derivatives the routines receive
        (usually q); the solver reads the first d first-derivative and d*d
        second-derivative tables of the basis.
    param_dim : int
        Number of flow parameters; every ``flow_params`` must have at least
        this many entries.

    Raises
    ------
    ValueError
        If m < n ("The system is underdetermined"), ``ansatz`` is None,
        ``cfunc_ptr`` is 0, ``inv_dim`` is negative, m*d*d exceeds the 32-bit
        range, or the basis returns tables of the wrong shape.
    TypeError
        If an argument does not convert (a float or a negative number for
        an address, a count outside the 32-bit range, ...).

    Notes
    -----
    How the Jacobian is built, at every Newton step with n coefficients:

    1. Chain rule, when ``sens_cfunc_ptr`` or ``sens_par_cfunc_ptr`` is
       nonzero and n >= 16: one sensitivity call, then J = S_v B + S_g G +
       S_h H point by point. ``sens_par_cfunc_ptr`` is called when the run is
       multithreaded, m >= 512 and the caller is outside an OpenMP parallel
       region (never inside ``multistart_optimize``); otherwise
       ``sens_cfunc_ptr``, or ``sens_par_cfunc_ptr`` when that is the only
       one given.
    2. Otherwise batched central differences, when the run is multithreaded,
       ``batch_cfunc_ptr`` is nonzero, ``inv_dim == 1``, n >= 64,
       2*m*n <= 500000 and the caller is outside an OpenMP parallel region:
       one call with n_batch = 2n (column s: forward along coefficient s,
       column n + s: backward).
    3. Otherwise central differences per coefficient on ``cfunc_ptr`` (two
       calls per coefficient), spread over the OpenMP threads when the run
       is multithreaded and n >= 256.

    The difference step for coefficient a_j is h = max(|a_j|, 1) * 1e-6.
    The Newton step solves J s = -r with full-pivoting LU when m = n and
    column-pivoting Householder QR (least squares) when m > n.
    """

    def __init__(
        self,
        coll_grid: ArrayLike,
        ansatz: _core_cpp.Ansatz,
        cfunc_ptr: _Address,
        batch_cfunc_ptr: _Address,
        sens_cfunc_ptr: _Address,
        sens_par_cfunc_ptr: _Address,
        inv_dim: _Count,
        param_dim: _Count,
    ) -> None: ...
    def local_optimize(
        self,
        init_coeffs: ArrayLike,
        maxiter: _Count,
        tol: _Tol,
        flow_params: ArrayLike,
        multithread: bool = False,
    ) -> OptimizeResult:
        """Newton iteration from ``init_coeffs`` until ``tol >= error`` or ``maxiter`` corrections.

        Each iteration evaluates the residual r, stops if
        ``tol >= ||r||_2``, else applies one Newton correction.

        Parameters
        ----------
        init_coeffs : array_like, shape (n,)
            Start coefficients, n = ``ansatz.n_coeffs``.
        maxiter : int
            Largest number of Newton corrections; ``<= 0`` evaluates nothing
            (``error`` is then 1e9).
        tol : float
            Bound on the absolute Euclidean norm of the residual vector,
            ``||r||_2 = sqrt(sum_p out[p]**2)`` over the m points, in the units
            of the flow equation. It is not relative and not per point: the
            same accuracy per point needs a larger ``tol`` on more points.
        flow_params : array_like, shape (k,)
            Passed to every routine call; k >= ``param_dim``.
        multithread : bool, default False
            Let the Jacobian (see the class notes) and the linear algebra use
            the OpenMP threads (``OMP_NUM_THREADS``).

        Returns
        -------
        OptimizeResult
            ``success`` is ``tol >= error``; ``iterations`` the corrections
            applied.

        Raises
        ------
        ValueError
            If ``init_coeffs`` does not have n entries or ``flow_params``
            has fewer than ``param_dim``.
        KeyboardInterrupt
            On Ctrl-C, when called from the main thread.
        """

    def local_optimize_fixed_iterations(
        self,
        init_coeffs: ArrayLike,
        num_iter: _Count,
        flow_params: ArrayLike,
        multithread: bool = False,
    ) -> OptimizeResult:
        """Exactly ``num_iter`` Newton corrections, with no stopping test, then the residual.

        Parameters
        ----------
        init_coeffs : array_like, shape (n,)
            Start coefficients.
        num_iter : int
            Number of corrections (``<= 0``: none, only the residual).
        flow_params : array_like, shape (k,)
            Flow parameters, k >= ``param_dim``.
        multithread : bool, default False
            As in :meth:`local_optimize`.

        Returns
        -------
        OptimizeResult
            ``error`` is ||r||_2 at the returned ``coeffs``; ``success``
            means only that it is finite; ``iterations`` is
            ``max(num_iter, 0)``.

        Raises
        ------
        ValueError
            As :meth:`local_optimize`.
        KeyboardInterrupt
            On Ctrl-C, when called from the main thread.
        """

    def param_path_following(
        self,
        init_coeffs: ArrayLike,
        maxiter: _Count,
        tol: _Tol,
        flow_params_path: Sequence[ArrayLike],
        multithread: bool = True,
    ) -> list[OptimizeResult]:
        """One :meth:`local_optimize` per flow-parameter vector, in order.

        Each solve starts from the coefficients of the last successful one
        (from ``init_coeffs`` until the first success).

        Parameters
        ----------
        init_coeffs : array_like, shape (n,)
            Start of the first solve.
        maxiter : int
            Largest number of corrections per solve.
        tol : float
            Bound on ||r||_2 per solve, as in :meth:`local_optimize`.
        flow_params_path : sequence of array_like, each shape (k,)
            The flow-parameter vectors, each with k >= ``param_dim``.
        multithread : bool, default True
            As in :meth:`local_optimize`.

        Returns
        -------
        list of OptimizeResult
            One per path point, in order.

        Raises
        ------
        ValueError
            If ``init_coeffs`` or any path vector has the wrong length
            (checked before any solve).
        KeyboardInterrupt
            On Ctrl-C, when called from the main thread; the results of the
            solves already finished are not returned.
        """

    def multistart_optimize(
        self,
        init_coeffs_list: Sequence[ArrayLike],
        maxiter: _Count,
        tol: _Tol,
        flow_params: ArrayLike,
    ) -> list[OptimizeResult]:
        """One :meth:`local_optimize` per start, the starts spread over the OpenMP threads.

        Each solve runs single-threaded (so the batched-difference path and
        ``sens_par_cfunc_ptr`` are not used); the routines are called from
        several threads at once. The results do not depend on the number of
        threads.

        Parameters
        ----------
        init_coeffs_list : sequence of array_like, each shape (n,)
            The starts.
        maxiter : int
            Largest number of corrections per start.
        tol : float
            Bound on ||r||_2 per start, as in :meth:`local_optimize`.
        flow_params : array_like, shape (k,)
            Shared by all starts; k >= ``param_dim``.

        Returns
        -------
        list of OptimizeResult
            One per start, in the order of the starts.

        Raises
        ------
        ValueError
            If any start or ``flow_params`` has the wrong length (checked
            before any solve).
        KeyboardInterrupt
            On Ctrl-C, when called from the main thread; the results of the
            solves already finished are not returned.
        """
