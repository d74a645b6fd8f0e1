/* Proves an installed ptz can be compiled against, linked and loaded. */
#include <stdio.h>

#include "ptz.h"

int main(void) {
    int32_t kind = -1, code = -1;
    char text[64];
    if (PTZ_GetLastError(&kind, &code) != PTZ_OK || kind != 0 || code != 0) return 1;
    if (PTZ_ExecInitialize() != PTZ_FAILED) return 1; /* no link open */
    PTZ_GetErrorText(PTZ_ERRKIND_LINK, PTZ_ERR_TIMEOUT, text, (int32_t)sizeof text);
    printf("installed ptz works: %s\n", text);
    return 0;
}
