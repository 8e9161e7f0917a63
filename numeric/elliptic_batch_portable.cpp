// The vector kernels of the batched elliptic integrals for the baseline
// instruction set of the build (SSE2 on x86-64; plain lanes elsewhere).
#define KELVORA_BATCH_VARIANT portable
#if defined(__SSE2__)
#define KELVORA_BATCH_VARIANT_NAME "sse2"
#else
#define KELVORA_BATCH_VARIANT_NAME "portable"
#endif
#include "numeric/elliptic_batch_kernels.hpp"
