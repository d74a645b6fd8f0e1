/* A host that loads the library at run time instead of linking it:
 * dlopen/dlsym on Linux, LoadLibrary/GetProcAddress on Windows (by name, and
 * one export by ordinal to show the fixed ordinals).
 *   dynamic_host LIBRARY HOST PORT */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "ptz.h"

#ifdef _WIN32
#include <windows.h>
typedef HMODULE Library;
static Library open_library(const char *path) { return LoadLibraryA(path); }
static void *symbol(Library lib, const char *name) {
    FARPROC p = GetProcAddress(lib, name);
    void *v;
    memcpy(&v, &p, sizeof v);
    return v;
}
static void *symbol_by_ordinal(Library lib, int ordinal) {
    FARPROC p = GetProcAddress(lib, MAKEINTRESOURCEA(ordinal));
    void *v;
    memcpy(&v, &p, sizeof v);
    return v;
}
static void close_library(Library lib) { FreeLibrary(lib); }
#else
#include <dlfcn.h>
typedef void *Library;
static Library open_library(const char *path) { return dlopen(path, RTLD_NOW | RTLD_LOCAL); }
static void *symbol(Library lib, const char *name) { return dlsym(lib, name); }
static void close_library(Library lib) { dlclose(lib); }
#endif

typedef int32_t(PTZ_CALL *LanOpenFn)(const char *, int32_t);
typedef int32_t(PTZ_CALL *NoArgsFn)(void);
typedef int32_t(PTZ_CALL *GetPTPosFn)(int32_t *, int32_t *);
typedef int32_t(PTZ_CALL *SetPTPosFn)(int32_t, int32_t, int32_t);

int main(int argc, char **argv) {
    Library lib;
    LanOpenFn lan_open;
    NoArgsFn initialize, dev_close;
    GetPTPosFn get_pt_pos;
    SetPTPosFn set_pt_pos;
    int32_t pan = 0, tilt = 0;
    void *p;
    if (argc != 4) {
        fprintf(stderr, "usage: %s LIBRARY HOST PORT\n", argv[0]);
        return 2;
    }
    lib = open_library(argv[1]);
    if (!lib) {
        fprintf(stderr, "cannot load %s\n", argv[1]);
        return 1;
    }
    p = symbol(lib, "PTZ_LanOpen"); memcpy(&lan_open, &p, sizeof p);
    p = symbol(lib, "PTZ_DevClose"); memcpy(&dev_close, &p, sizeof p);
    p = symbol(lib, "PTZ_GetPTPos"); memcpy(&get_pt_pos, &p, sizeof p);
    p = symbol(lib, "PTZ_SetPTPos"); memcpy(&set_pt_pos, &p, sizeof p);
#ifdef _WIN32
    p = symbol_by_ordinal(lib, 8); /* PTZ_ExecInitialize */
#else
    p = symbol(lib, "PTZ_ExecInitialize");
#endif
    memcpy(&initialize, &p, sizeof p);
    if (!lan_open || !dev_close || !get_pt_pos || !set_pt_pos || !initialize) {
        fprintf(stderr, "an export is missing\n");
        return 1;
    }
    if (lan_open(argv[2], atoi(argv[3])) != PTZ_OK) {
        fprintf(stderr, "cannot connect\n");
        return 1;
    }
    if (initialize() != PTZ_OK || set_pt_pos(0, -77, 88) != PTZ_OK || get_pt_pos(&pan, &tilt) != PTZ_OK) {
        fprintf(stderr, "a command failed\n");
        dev_close();
        return 1;
    }
    printf("loaded at run time: pan %d, tilt %d\n", (int)pan, (int)tilt);
    dev_close();
    close_library(lib);
    return pan == -77 && tilt == 88 ? 0 : 1;
}
