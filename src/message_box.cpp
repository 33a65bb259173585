// The platform's modal message box: a caption, a text and one OK button, no
// owner window; it blocks until dismissed. Where no display can be opened the
// report goes to standard error instead, so it is never lost.
#include "viewer.h"

#include <cstdio>

#ifdef _WIN32
#include <windows.h>

void showMessageBox(const char* caption, const char* text)
{
    MessageBoxA(nullptr, text, caption, MB_OK);
}
#else
#define SDL_MAIN_HANDLED
#include <SDL.h>

void showMessageBox(const char* caption, const char* text)
{
    if (SDL_ShowSimpleMessageBox(SDL_MESSAGEBOX_ERROR, caption, text, nullptr) != 0)
        fprintf(stderr, "%s: %s\n", caption, text);
}
#endif
