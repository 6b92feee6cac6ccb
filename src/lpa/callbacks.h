// Types of the flow-equation routines that the host compiles and hands to the
// solver by address.
//
// Arrays are contiguous `double`; counts are 32-bit `int`. Per point p (m
// points, d coordinates):
//   vals[p]                u at p
//   grads[p*d + a]         du/dx_a at p
//   hess[p*d*d + j*d + k]  d2u/(dx_j dx_k) at p
//   points[p*q + x]        coordinate x of point p (q, the grid's column count,
//                          is not passed)
// A routine writes every entry of its outputs and never its inputs. Every
// output entry holds NaN when the routine is called, so an entry a failing
// routine leaves unwritten reads as a failed evaluation. The
// equation is local: out[p] depends only on point p's data and flow_params.
#pragma once

#include <cstdint>

namespace vexal::lpa {

// out[p] = residual of the flow equation at point p.
using FlowCallback = void (*)(const double* points, const double* vals, const double* grads,
                              const double* hess, const double* flow_params, double* out,
                              int n_points, int inv_dim);

// n_batch states at once. vals, grads, hess and out are row-major with
// n_batch columns: state s of point p at index p*n_batch + s. Only called with
// inv_dim == 1, so all four have n_points rows.
using BatchFlowCallback = void (*)(const double* points, const double* vals, const double* grads,
                                   const double* hess, const double* flow_params, double* out,
                                   int n_points, int n_batch, int inv_dim);

// Partial derivatives of out[p] with respect to vals[p], grads[p*d + a] and
// hess[p*d*d + e]. The routine knows d; it is not passed.
using SensitivityCallback = void (*)(const double* points, const double* vals, const double* grads,
                                     const double* hess, const double* flow_params,
                                     double* sens_vals, double* sens_grads, double* sens_hess,
                                     int n_points);

// Addresses arrive from Python as unsigned 64-bit integers; 0 means absent.
using CallbackAddress = std::uint64_t;

template <typename Fn>
inline Fn callback_from_address(CallbackAddress address) {
    return reinterpret_cast<Fn>(static_cast<std::uintptr_t>(address));
}

}  // namespace vexal::lpa
