// The DLL's entry point: at process attach the library starts closed, with
// no port and an empty last-error record. Nothing happens at detach: an open
// link is not closed at unload.
#include <windows.h>

#include "link/link.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) ptz::ResetLibraryState();
    return TRUE;
}
