/* The calling convention checked where it cannot be fooled: a 32-bit host
 * calls every export of ptz.dll, found by name and by ordinal, through a
 * stdcall call with all-zero arguments, and compares the stack pointer
 * before the arguments are pushed with the one after the call returns. A
 * stdcall export removes its arguments (difference 0); a cdecl one leaves
 * them (4 x the argument count).
 *   stack_check.exe ptz.dll   (the export table is compiled in: exports.h)
 */
#include <stdint.h>
#include <stdio.h>
#include <windows.h>

struct Export {
    const char *name;
    int ordinal;
    int bytes; /* 4 x the argument count */
};

static const struct Export exports[] = {
#include "exports.h"
};

/* Pushes `count` zero words, calls `fn`, and returns how far the stack
 * pointer moved across the whole (0 when the callee cleaned up). */
static int32_t StackMovement(void *fn, int count, int32_t *result) {
    uint32_t before, after;
    int32_t r;
    __asm__ volatile(
        "movl %%esp, %%esi\n\t"
        "movl %[count], %%ecx\n\t"
        "1:\n\t"
        "testl %%ecx, %%ecx\n\t"
        "jz 2f\n\t"
        "pushl $0\n\t"
        "decl %%ecx\n\t"
        "jmp 1b\n\t"
        "2:\n\t"
        "call *%[fn]\n\t"
        "movl %%esp, %%edi\n\t"
        "movl %%esi, %%esp\n\t"
        : "=&a"(r), "=&S"(before), "=&D"(after)
        : [fn] "b"(fn), [count] "m"(count)
        : "ecx", "edx", "memory", "cc");
    *result = r;
    return (int32_t)(after - before);
}

int main(int argc, char **argv) {
    const char *path = argc > 1 ? argv[1] : "ptz.dll";
    HMODULE dll = LoadLibraryA(path);
    int failed = 0, checked = 0;
    size_t i;
    if (dll == NULL) {
        printf("cannot load %s (error %lu)\n", path, (unsigned long)GetLastError());
        return 1;
    }
    for (i = 0; i < sizeof exports / sizeof exports[0]; ++i) {
        const struct Export *e = &exports[i];
        FARPROC byName = GetProcAddress(dll, e->name);
        FARPROC byOrdinal = GetProcAddress(dll, MAKEINTRESOURCEA(e->ordinal));
        int32_t result = -1, moved;
        if (byName == NULL || byName != byOrdinal) {
            printf("%s: by name %p, by ordinal %d %p\n", e->name, (void *)byName, e->ordinal, (void *)byOrdinal);
            failed = 1;
            continue;
        }
        moved = StackMovement((void *)byOrdinal, e->bytes / 4, &result);
        if (moved != 0 || result < 0 || result > 2) {
            printf("%s: the stack moved by %d bytes across the call (result %d)\n", e->name, (int)moved, (int)result);
            failed = 1;
        }
        ++checked;
    }
    printf("%d exports called by ordinal and name as stdcall: %s\n", checked, failed ? "FAILED" : "the stack is intact");
    FreeLibrary(dll);
    return failed;
}
