#include "frame.h"

#if defined(__SSE2__)
#    include <emmintrin.h>
#endif

void roundToSingle(Frame *frames, int n)
{
    for (int i = 0; i < n; ++i) {
#if defined(__SSE2__)
        double *p = &frames[i].left;
        _mm_storeu_pd(p, _mm_cvtps_pd(_mm_cvtpd_ps(_mm_loadu_pd(p))));
#else
        // Through memory: a vectoriser may drop the rounding of a pair kept
        // in registers.
        const volatile float l = static_cast<float>(frames[i].left);
        const volatile float r = static_cast<float>(frames[i].right);
        frames[i] = Frame{l, r};
#endif
    }
}
