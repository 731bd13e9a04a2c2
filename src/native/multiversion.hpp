// Function multi-versioning for the vectorised block loops that need no
// forced path in tests; the loops that do are switched at run time instead
// (isa_dispatch.hpp).
//
// target_clones compiles a function once per listed target and picks one at
// load time through an ifunc resolver, so a portable build still runs AVX2
// code where the CPU has it.  The resolver needs x86-64, ELF and a C library
// with ifunc support (glibc, FreeBSD); everywhere else the attribute would
// not build, and the plain function is the only version.  Every clone gives
// the same bits: contraction into FMA is off, so AVX2 changes only how many
// lanes run at once.
#pragma once

#include <cstddef>  // defines __GLIBC__ where glibc is the C library

#if defined(__x86_64__) && defined(__ELF__) && (defined(__GLIBC__) || defined(__FreeBSD__)) && \
    defined(__has_attribute)
#if __has_attribute(target_clones)
#define ORIN_CLONES __attribute__((target_clones("avx2", "default")))
#endif
#endif
#ifndef ORIN_CLONES
#define ORIN_CLONES
#endif

// Small per-element steps that the block loops must see inlined to vectorise.
#if defined(__GNUC__) || defined(__clang__)
#define ORIN_FORCE_INLINE inline __attribute__((always_inline))
#else
#define ORIN_FORCE_INLINE inline
#endif
