// Test double of the synchronisation services' remote-API library: only
// CeRapiInit, answering as the environment says.
//   KESTREL_RAPI_RESULT    the answer (default 0: a device is ready)
//   KESTREL_RAPI_DELAY_MS  how long the call blocks before answering
#include "environment_number.h"

#include <windows.h>

#include <cstdlib>

extern "C" __declspec(dllexport) HRESULT WINAPI CeRapiInit() {
    long delay = environmentNumber("KESTREL_RAPI_DELAY_MS", 0);
    if (delay > 0)
        Sleep(static_cast<DWORD>(delay));
    return static_cast<HRESULT>(environmentNumber("KESTREL_RAPI_RESULT", 0));
}
