// Compiler settings shared by the hand-written CPU kernels.
//
// The fused loops and the matrix product are compiled for AVX-512, AVX2 and
// the baseline, chosen at load time from what the CPU supports. (Defining
// HST_VECTOR_CLONES empty builds one version for the compiler's -march, e.g.
// to test each of them.)
#pragma once

#ifndef HST_VECTOR_CLONES
#if defined(__GNUC__) && !defined(__clang__) && __GNUC__ >= 11 && defined(__x86_64__) && defined(__linux__)
#define HST_VECTOR_CLONES __attribute__((target_clones("arch=x86-64-v4", "arch=x86-64-v3", "default")))
#define HST_MULTIVERSION 1
#else
#define HST_VECTOR_CLONES
#endif
#endif
#ifndef HST_MULTIVERSION
#define HST_MULTIVERSION 0
#endif
#if !defined(__GNUC__)
#error "the CPU kernels use GCC / Clang vector extensions"
#endif
#define HST_ALWAYS_INLINE inline __attribute__((always_inline))
#define HST_RESTRICT __restrict__
