// Test double of the Application Manager: writes its command line and working
// folder (one line each) to a file, optionally waits, and exits.
//   KESTREL_APPMGR_RECORD   file to write (default ceappmgr-record.txt in the
//                           working folder)
//   KESTREL_APPMGR_WAIT_MS  how long to run before exiting
//   KESTREL_APPMGR_EXIT     exit code (default 0)
#include "environment_number.h"

#include <windows.h>

#include <cstdio>
#include <cstdlib>

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    char recordName[MAX_PATH] = "ceappmgr-record.txt";
    GetEnvironmentVariableA("KESTREL_APPMGR_RECORD", recordName, sizeof(recordName));
    char folder[MAX_PATH + 1] = {};
    GetCurrentDirectoryA(MAX_PATH, folder);
    if (FILE* record = std::fopen(recordName, "wb")) {
        std::fprintf(record, "%s\n%s\n", GetCommandLineA(), folder);
        std::fclose(record);
    }
    long wait = environmentNumber("KESTREL_APPMGR_WAIT_MS", 0);
    if (wait > 0)
        Sleep(static_cast<DWORD>(wait));
    return static_cast<int>(environmentNumber("KESTREL_APPMGR_EXIT", 0));
}
