// The kernels' results are defined bit for bit by IEEE double arithmetic
// in the order the source writes it.  A unit that includes this header
// refuses to compile under a floating-point model that lets the compiler
// change them: -ffast-math and the flags it implies or that imply part of
// it (finite values only, reassociation, reciprocals, no signed zeros),
// which GCC and clang announce with these macros.
//
// Contraction into fused multiply-adds (GCC's default -ffp-contract=fast,
// and clang's -ffp-model=fast, which defines none of these macros) leaves
// no macro to test: every target is built with -ffp-contract=off
// (CMakeLists.txt), and tools/check_objects.py fails the tests on any
// fused multiply-add in the built module.
#pragma once

#if defined(__FAST_MATH__)
#error "built with -ffast-math: lumora's kernels need IEEE arithmetic in source order"
#endif
#if defined(__FINITE_MATH_ONLY__) && __FINITE_MATH_ONLY__
#error "built with -ffinite-math-only: lumora's kernels return and test NaN and infinity"
#endif
#if defined(__ASSOCIATIVE_MATH__)
#error "built with -fassociative-math: lumora's kernels need operations in source order"
#endif
#if defined(__RECIPROCAL_MATH__)
#error "built with -freciprocal-math: lumora's kernels need correctly rounded divisions"
#endif
#if defined(__NO_SIGNED_ZEROS__)
#error "built with -fno-signed-zeros: lumora's kernels keep the sign of zero"
#endif
