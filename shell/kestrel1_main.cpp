// The program entry of Kestrel1.exe; everything else is in the shell library.
#include <windows.h>

#include "shell/main_window.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR, int show)
{
    return kestrel::programEntry(instance, previous, show);
}
