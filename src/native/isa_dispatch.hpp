// Runtime choice among the instruction-set paths of the vectorised loops.
//
// A loop is written once, as a template over its lane count, and compiled
// three times: inside an AVX-512 function, an AVX2 function and a plain one
// (SSE2 on x86-64, whatever the target has elsewhere).  Which one runs is a
// switch on `active_isa()`, chosen when the module initialises from what the
// CPU offers, and overridable so that tests can run every path.  All paths
// give the same bits: each lane runs the scalar rule's operations in the
// scalar rule's order, and contraction into FMA is off for the whole build.
//
// target_clones would pick the path too, but through an ifunc resolver that
// nothing can override; here a test can force each path and compare them.
#pragma once

#include <atomic>
#include <cstring>

#include "multiversion.hpp"

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define ORIN_X86_PATHS 1
#define ORIN_TARGET_AVX512 __attribute__((target("avx512f,avx512dq,avx512vl,avx512bw")))
#define ORIN_TARGET_AVX2 __attribute__((target("avx2")))
#endif

namespace orin {

enum class isa : int { baseline = 0, avx2 = 1, avx512 = 2 };

inline constexpr isa every_isa[] = {isa::baseline, isa::avx2, isa::avx512};

inline const char* isa_name(isa i) noexcept {
    switch (i) {
        case isa::avx512: return "avx512";
        case isa::avx2: return "avx2";
        default: return "baseline";
    }
}

inline bool isa_from_name(const char* name, isa& out) noexcept {
    for (isa i : every_isa) {
        if (std::strcmp(name, isa_name(i)) == 0) {
            out = i;
            return true;
        }
    }
    return false;
}

// libgcc's CPU probe also checks, through XGETBV, that the OS saves the
// ymm / zmm state, so a supported path is one that can really run.
inline bool isa_supported(isa i) noexcept {
#ifdef ORIN_X86_PATHS
    switch (i) {
        case isa::avx512:
            return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq") &&
                   __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("avx512bw");
        case isa::avx2: return __builtin_cpu_supports("avx2");
        default: return true;
    }
#else
    return i == isa::baseline;
#endif
}

inline isa isa_best() noexcept {
    if (isa_supported(isa::avx512)) return isa::avx512;
    if (isa_supported(isa::avx2)) return isa::avx2;
    return isa::baseline;
}

// Internal linkage on purpose: each extension module including this header
// keeps its own choice, set by its own initialisation and its own switch.
// Relaxed is enough: every path computes the same bits, so a thread that
// sees the old choice a moment longer computes the same result.
static std::atomic<isa> active_isa_state{isa::baseline};

inline isa active_isa() noexcept { return active_isa_state.load(std::memory_order_relaxed); }

// The previous path; the caller has checked isa_supported(i).
inline isa set_active_isa(isa i) noexcept { return active_isa_state.exchange(i, std::memory_order_relaxed); }

#ifdef ORIN_X86_PATHS
template <class Loop, class... Args>
ORIN_TARGET_AVX512 void run_on_avx512(Args&&... args) noexcept {
    Loop::template run<isa::avx512>(static_cast<Args&&>(args)...);
}
template <class Loop, class... Args>
ORIN_TARGET_AVX2 void run_on_avx2(Args&&... args) noexcept {
    Loop::template run<isa::avx2>(static_cast<Args&&>(args)...);
}
#endif
template <class Loop, class... Args>
void run_on_baseline(Args&&... args) noexcept {
    Loop::template run<isa::baseline>(static_cast<Args&&>(args)...);
}

// Runs Loop::run<I>(args...) for the active path I.  Loop::run must be
// ORIN_FORCE_INLINE, so that its body is compiled inside the target function.
template <class Loop, class... Args>
void dispatch(Args&&... args) noexcept {
#ifdef ORIN_X86_PATHS
    switch (active_isa()) {
        case isa::avx512: return run_on_avx512<Loop>(static_cast<Args&&>(args)...);
        case isa::avx2: return run_on_avx2<Loop>(static_cast<Args&&>(args)...);
        default: break;
    }
#endif
    run_on_baseline<Loop>(static_cast<Args&&>(args)...);
}

}  // namespace orin
