#pragma once

// The batch kernels of the accurate evaluation (the turning points, the
// arithmetic-geometric means and Carlson's duplications of many paths at
// once) are built twice on x86-64 with GCC: for the baseline processor and
// for AVX2, the one used chosen at load time. Both do the same operations in
// the same order on every path, so they give the same bits; AVX2 brings no
// fused multiply-add (that is the separate FMA extension, and contraction is
// off in any case). A build that asks for one kernel build (the thread
// checker's, whose runtime is not up when the loader picks a build) gets the
// baseline one.
#if defined(__GNUC__) && !defined(__clang__) && defined(__x86_64__) && \
    !defined(VELTRANE_ONE_KERNEL_BUILD)
#define VELTRANE_VECTOR_KERNEL __attribute__((target_clones("avx2", "default")))
#else
#define VELTRANE_VECTOR_KERNEL
#endif
