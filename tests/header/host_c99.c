/* A C99 host passes the bool of <stdbool.h>. */
#include "VeldrinLib.h"

int host_measure(void);

int host_measure(void)
{
    bool complete = false;
    isMeasurementComplete(1, &complete);
    return complete ? 0 : 1;
}
