/* A plain sequential fold, compiled with -O2 by bench/c_fold.py when needed
 * and called through ctypes: the floor that JadeDict.sum() is compared with.
 * Without -ffast-math the compiler keeps one accumulator and the left-to-right
 * order, so the result is the same strict fold from -0.0 as sum(). */
#include <stddef.h>

double fold(const double *values, size_t n)
{
    double acc = -0.0;
    for (size_t i = 0; i < n; ++i)
        acc += values[i];
    return acc;
}
