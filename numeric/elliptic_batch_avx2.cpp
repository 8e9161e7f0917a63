// The vector kernels of the batched elliptic integrals for AVX2 (four double
// lanes per instruction).  Built with -mavx2 and without FMA (-mno-fma,
// -ffp-contract=off): multiplications and additions round separately, as in
// the scalar code.  Used only when the processor reports AVX2.
#if !defined(__AVX2__) || defined(__FMA__)
#error "elliptic_batch_avx2.cpp must be built with -mavx2 -mno-fma"
#endif
#define KELVORA_BATCH_VARIANT avx2
#define KELVORA_BATCH_VARIANT_NAME "avx2"
#include "numeric/elliptic_batch_kernels.hpp"
