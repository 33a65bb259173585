// Preloaded into the viewer by the end-to-end fault tests: writes the caption
// and text of every message box to the file named by VIEWER_BOX_LOG, then shows
// the real box, so a test can check texts that cannot be read off the screen.
#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>

using ShowSimpleMessageBox = int (*)(unsigned int, const char*, const char*, void*);

extern "C" int SDL_ShowSimpleMessageBox(unsigned int flags, const char* title, const char* message,
                                        void* window)
{
    if (const char* path = getenv("VIEWER_BOX_LOG")) {
        if (FILE* log = fopen(path, "a")) {
            // Unit and record separators: neither occurs in a caption or a compiler's log.
            fprintf(log, "%s\x1f%s\x1e", title, message);
            fclose(log);
        }
    }
    auto real = reinterpret_cast<ShowSimpleMessageBox>(dlsym(RTLD_NEXT, "SDL_ShowSimpleMessageBox"));
    return real ? real(flags, title, message, window) : -1;
}
