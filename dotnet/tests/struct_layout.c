/* Prints the library's structs as the C compiler lays them out, one line
 * each: NAME SIZE FIELD OFFSET... The .NET tests compare their own
 * marshalled layout with these lines. */
#include <stddef.h>
#include <stdio.h>

#include "ptz.h"

#define FIELD(type, field) printf(" %s %u", #field, (unsigned)offsetof(type, field))

int main(void) {
    printf("PTZ_SYSTEM_INFO %u", (unsigned)sizeof(PTZ_SYSTEM_INFO));
    FIELD(PTZ_SYSTEM_INFO, text0);
    FIELD(PTZ_SYSTEM_INFO, text1);
    FIELD(PTZ_SYSTEM_INFO, text2);
    FIELD(PTZ_SYSTEM_INFO, spare);
    printf("\nPTZ_SYSTEM_SETTING_INFO %u", (unsigned)sizeof(PTZ_SYSTEM_SETTING_INFO));
    FIELD(PTZ_SYSTEM_SETTING_INFO, setting0);
    FIELD(PTZ_SYSTEM_SETTING_INFO, setting1);
    FIELD(PTZ_SYSTEM_SETTING_INFO, setting2);
    FIELD(PTZ_SYSTEM_SETTING_INFO, setting3);
    printf("\nPTZ_STATUS %u", (unsigned)sizeof(PTZ_STATUS));
    FIELD(PTZ_STATUS, flag0);
    FIELD(PTZ_STATUS, flag1);
    FIELD(PTZ_STATUS, flag2);
    FIELD(PTZ_STATUS, flag3);
    printf("\n");
    return 0;
}
