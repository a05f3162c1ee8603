/* A Windows host that asks for the library's `close` export. */
#define VELDRIN_DECLARE_CLOSE
#include "VeldrinLib.h"

int host_close(void);

int host_close(void)
{
    int (VELDRIN_CALL *library_close)(void) = close;
    return library_close();
}
