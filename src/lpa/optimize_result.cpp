#include "lpa/optimize_result.h"

#include <omp.h>

namespace vexal::lpa {

ThreadCountGuard::ThreadCountGuard(bool multithread) : saved_threads(-1) {
    if (omp_in_parallel()) return;
    saved_threads = Eigen::nbThreads();
    Eigen::setNbThreads(multithread ? 0 : 1);
}

ThreadCountGuard::~ThreadCountGuard() {
    if (saved_threads >= 0) Eigen::setNbThreads(saved_threads);
}

}  // namespace vexal::lpa
