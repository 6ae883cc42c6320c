#pragma once
// Tells the compiler that the points of the loop that follows are
// independent, in the dialect of each compiler the project builds with.
#if defined(__clang__)
#define PLUME_INDEPENDENT_POINTS _Pragma("clang loop vectorize(assume_safety)")
#elif defined(__GNUC__)
#define PLUME_INDEPENDENT_POINTS _Pragma("GCC ivdep")
#else
#define PLUME_INDEPENDENT_POINTS
#endif
