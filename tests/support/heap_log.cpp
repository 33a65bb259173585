// Preloaded into the viewer by the memory test: every five seconds, from
// start-up on, writes the bytes that the program holds from the allocator (in
// use in every arena, and in blocks mapped on their own) to the file named by
// VIEWER_HEAP_LOG, one number a line. Unlike the resident size, which grows
// only once the holes that freed blocks leave in the heap are used up, this
// count grows with the first byte a leak keeps.
#include <malloc.h>
#include <pthread.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

static void* logHeap(void* path)
{
    FILE* log = fopen(static_cast<const char*>(path), "a");
    if (log == nullptr)
        return nullptr;
    for (;;) {
        struct mallinfo2 heap = mallinfo2();
        fprintf(log, "%zu\n", heap.uordblks + heap.hblkhd);
        fflush(log);
        sleep(5);
    }
}

__attribute__((constructor)) static void startHeapLog()
{
    char* path = getenv("VIEWER_HEAP_LOG");
    pthread_t thread;
    if (path != nullptr && pthread_create(&thread, nullptr, logHeap, path) == 0)
        pthread_detach(thread);
}
