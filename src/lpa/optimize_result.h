// The outcome of one Newton run, and the scoped guard that pins Eigen's thread
// setting for the length of a run.
#pragma once

#include <Eigen/Dense>

namespace vexal::lpa {

struct OptimizeResult {
    Eigen::VectorXd coeffs;  // coefficients at the end of the run
    bool success = false;    // whether the run met its criterion
    int iterations = 0;      // Newton corrections applied
    double error = 0.0;      // Euclidean norm of the last residual evaluated
};

// Saves Eigen's global thread count, sets it to 0 (all OpenMP threads) for a
// multithreaded run or 1 otherwise, and restores it on destruction. Inside an
// active OpenMP parallel region it does nothing (saved_threads == -1).
// The save and restore are not synchronised with other host threads.
class ThreadCountGuard {
public:
    explicit ThreadCountGuard(bool multithread);
    ~ThreadCountGuard();
    ThreadCountGuard(const ThreadCountGuard&) = delete;
    ThreadCountGuard& operator=(const ThreadCountGuard&) = delete;

    int saved_threads;
};

}  // namespace vexal::lpa
