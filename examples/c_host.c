/* A plain C host: opens a TCP link, reads information, position and status,
 * stores and recalls a preset, and reports failures with their texts.
 *   c_host HOST PORT */
#include <stdio.h>
#include <stdlib.h>

#include "ptz.h"

static int check(const char *what, int32_t result) {
    int32_t kind = 0, code = 0;
    char text[256];
    if (result == PTZ_OK) return 1;
    if (result == PTZ_BAD_PARAM) {
        printf("%s: argument rejected\n", what);
        return 0;
    }
    PTZ_GetLastError(&kind, &code);
    PTZ_GetErrorText(kind, code, text, (int32_t)sizeof text);
    printf("%s failed: kind %d, code %d: %s\n", what, (int)kind, (int)code, text);
    return 0;
}

int main(int argc, char **argv) {
    PTZ_SYSTEM_INFO info;
    PTZ_STATUS status;
    int32_t pan = 0, tilt = 0;
    int ok = 1;
    if (argc != 3) {
        fprintf(stderr, "usage: %s HOST PORT\n", argv[0]);
        return 2;
    }
    /* The classic TCP open records no reason in the last-error record: say
     * plainly that the connection was not made. (PTZ_LinkOpenLan records
     * the reason in the calling thread's record.) */
    if (PTZ_LanOpen(argv[1], atoi(argv[2])) != PTZ_OK) {
        printf("open: could not connect to %s port %s\n", argv[1], argv[2]);
        return 1;
    }
    ok &= check("initialize", PTZ_ExecInitialize());
    if (check("system info", PTZ_GetSystemInfo(&info)))
        printf("head: %s / %s / %s\n", info.text0, info.text1, info.text2);
    else
        ok = 0;
    ok &= check("move", PTZ_SetPTPos(1, 1200, -300));
    ok &= check("store preset 2", PTZ_SetPresetPos(2, 0));
    ok &= check("move", PTZ_SetPTPos(1, 0, 0));
    ok &= check("recall preset 2", PTZ_MovePresetPos(2));
    if (check("position", PTZ_GetPTPos(&pan, &tilt)))
        printf("position: pan %d, tilt %d\n", (int)pan, (int)tilt);
    else
        ok = 0;
    if (check("status", PTZ_GetPTZStatus(&status)))
        printf("status: %d %d %d %d\n", (int)status.flag0, (int)status.flag1, (int)status.flag2,
               (int)status.flag3);
    else
        ok = 0;
    /* A preset never stored: the head refuses, and the text says so. */
    check("recall preset 9", PTZ_MovePresetPos(9));
    PTZ_DevClose();
    return ok && pan == 1200 && tilt == -300 ? 0 : 1;
}
