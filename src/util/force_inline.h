// Where the hot path forces inlining, and the builds that leave it to the
// compiler.
#pragma once

// The kernel and the walk force their small steps into one loop per
// instruction set: that is what keeps a chunk's masks in registers. A
// sanitized or fuzzing build (JORVANE_SANITIZED, set by the build) leaves
// inlining to the compiler instead: instrumenting the one huge function that
// forced inlining produces takes the compiler several times longer than the
// rest of the tree, and what a sanitizer checks does not depend on inlining.
#if defined(JORVANE_SANITIZED)
#define JORVANE_FORCE_INLINE inline
#define JORVANE_FORCE_INLINE_LAMBDA
#else
#define JORVANE_FORCE_INLINE [[gnu::always_inline]] inline
#define JORVANE_FORCE_INLINE_LAMBDA __attribute__((always_inline))
#endif
