/* Counts heap allocations of a program, preloaded with LD_PRELOAD.
 *
 * Every malloc, calloc, realloc and aligned allocation is counted in one of three phases:
 * before main (the loader and the C runtime starting up), during main, and after main has
 * returned (exit handlers). Allocations during main are kept with the address they were
 * called from, and the report names the object and function of each caller, so that the
 * program's own allocations stand apart from the C library's. operator new ends in malloc, so
 * it is counted too. The report goes to the file named by BENCH_ALLOC_REPORT at exit. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

extern void* __libc_malloc(size_t size);
extern void* __libc_calloc(size_t count, size_t size);
extern void* __libc_realloc(void* block, size_t size);
extern void* __libc_memalign(size_t alignment, size_t size);

enum { kBefore, kDuring, kAfter, kPhases, kKept = 64 };
static const char* const kPhaseNames[kPhases] = {"before_main", "during_main", "after_main"};
static int g_phase = kBefore;
static unsigned long g_count[kPhases];
static unsigned long g_bytes[kPhases];
static void* g_callers[kKept];
static size_t g_sizes[kKept];
static int g_kept = 0;

static void note(void* caller, size_t size)
{
    g_count[g_phase] += 1;
    g_bytes[g_phase] += size;
    if (g_phase == kDuring && g_kept < kKept) {
        g_callers[g_kept] = caller;
        g_sizes[g_kept] = size;
        g_kept += 1;
    }
}

void* malloc(size_t size) { note(__builtin_return_address(0), size); return __libc_malloc(size); }
void* calloc(size_t count, size_t size)
{
    note(__builtin_return_address(0), count * size);
    return __libc_calloc(count, size);
}
void* realloc(void* block, size_t size)
{
    note(__builtin_return_address(0), size);
    return __libc_realloc(block, size);
}
void* memalign(size_t alignment, size_t size)
{
    note(__builtin_return_address(0), size);
    return __libc_memalign(alignment, size);
}
void* aligned_alloc(size_t alignment, size_t size)
{
    note(__builtin_return_address(0), size);
    return __libc_memalign(alignment, size);
}
int posix_memalign(void** out, size_t alignment, size_t size)
{
    note(__builtin_return_address(0), size);
    *out = __libc_memalign(alignment, size);
    return *out != NULL ? 0 : 12;
}

static int (*g_main)(int, char**, char**);

static int counting_main(int argc, char** argv, char** envp)
{
    g_phase = kDuring;
    int result = g_main(argc, argv, envp);
    g_phase = kAfter;
    return result;
}

typedef int (*StartMain)(int (*)(int, char**, char**), int, char**, void (*)(void), void (*)(void),
                         void (*)(void), void*);

int __libc_start_main(int (*main_function)(int, char**, char**), int argc, char** argv,
                      void (*init)(void), void (*fini)(void), void (*rtld_fini)(void), void* stack_end)
{
    StartMain real = (StartMain)dlsym(RTLD_NEXT, "__libc_start_main");
    g_main = main_function;
    return real(counting_main, argc, argv, init, fini, rtld_fini, stack_end);
}

__attribute__((destructor)) static void report(void)
{
    const char* path = getenv("BENCH_ALLOC_REPORT");
    if (path == NULL) {
        return;
    }
    int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0) {
        return;
    }
    char line[512];
    for (int phase = 0; phase < kPhases; ++phase) {
        int length = snprintf(line, sizeof line, "phase %s %lu %lu\n", kPhaseNames[phase],
                              g_count[phase], g_bytes[phase]);
        write(fd, line, (size_t)length);
    }
    for (int index = 0; index < g_kept; ++index) {
        Dl_info info;
        memset(&info, 0, sizeof info);
        dladdr(g_callers[index], &info);
        int length = snprintf(line, sizeof line, "caller %s %s %zu\n",
                              info.dli_fname != NULL ? info.dli_fname : "?",
                              info.dli_sname != NULL ? info.dli_sname : "?", g_sizes[index]);
        write(fd, line, (size_t)length);
    }
    close(fd);
}
