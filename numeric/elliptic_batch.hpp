// Batched complete elliptic integrals: K(m), E(m) and Pi(n, m) of up to four
// independent arguments at once, each result (value or failure, with its
// message) exactly the one the single evaluation of numeric/elliptic.hpp
// gives for that argument.
//
// The cost of one evaluation is the latency of its loops: the AGM of RF(0, y, z)
// [DLMF 19.8(i), 19.22(i)] and Carlson's duplication of RJ [C95, Sec. 4;
// DLMF 19.36(i)] wait at every pass for the square roots of the pass before.
// Four independent evaluations run these loops side by side, one per vector
// lane (numeric/elliptic_batch_kernels.hpp); each lane keeps its own
// operation order and its own stopping pass, and IEEE arithmetic rounds a
// lane as it rounds a scalar.  The logarithms, arctangents and powers are
// taken per lane with the same libm calls as the single evaluation.
//
// The vector loops serve the branches the models take:
//   ellipk, ellipe  0 < m < 1 (ellipk also m < 0 with 1 - m finite);
//   ellippi         0 < n < 1 with 1 - n != 1, m < 1 with 1 - m != 1, both
//                   finite: RF(0, 1 - m, 1) by the AGM and RJ(0, 1 - m, 1, 1 - n)
//                   by duplication.
// Every other argument (failures, NaN, infinities, n <= 0, the special values
// m = 0, n = 1, ...) is evaluated by the single routine for that lane.
//
// The code is chosen at the first call from what the processor supports:
// the AVX2 vector code on x86-64 where available, otherwise every lane by
// the single routine (the baseline vector code, SSE2 on x86-64 and plain
// lanes elsewhere, gives the same bits but is slower than single
// evaluations; tests and benchmarks select it explicitly).  The vector code
// is built without fused multiply-add.
#pragma once

#include "numeric/failure.hpp"

namespace kelvora::numeric {

// The number of arguments of one batch.
inline constexpr int BATCH_WIDTH = 4;

// Each function evaluates the first `count` (0..BATCH_WIDTH) arguments into
// out[0..count); the arrays may be shorter than BATCH_WIDTH.
void ellipk_batch(const double* m, Expected<double>* out, int count) noexcept;
void ellipe_batch(const double* m, Expected<double>* out, int count) noexcept;
// E(m) and K(m) of the same arguments (the polynomials of both share 1 - m).
void ellipe_ellipk_batch(const double* m, Expected<double>* e, Expected<double>* k, int count) noexcept;
void ellippi_batch(const double* n, const double* m, Expected<double>* out, int count) noexcept;

// Which vector code the batched functions use; tests and benchmarks may
// switch to another available one.
enum class BatchCode { Single, Portable, Avx2 };
BatchCode batch_code() noexcept;
bool batch_code_available(BatchCode code) noexcept;
// Returns false (and changes nothing) if `code` is not available.
bool select_batch_code(BatchCode code) noexcept;
const char* batch_code_name(BatchCode code) noexcept;

}  // namespace kelvora::numeric
