/* A Windows host that has close(int) from <io.h> or <unistd.h>: the header
 * must not clash with it. */
int close(int descriptor);

#include "VeldrinLib.h"

int host_close(int descriptor);

int host_close(int descriptor)
{
    return close(descriptor) + closeLibrary();
}
