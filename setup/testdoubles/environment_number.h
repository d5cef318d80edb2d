// The test doubles take their behaviour from the environment that the tests set.
#pragma once
#include <windows.h>

#include <cstdlib>

inline long environmentNumber(const char* name, long fallback) {
    char text[32];
    DWORD length = GetEnvironmentVariableA(name, text, sizeof(text));
    if (length == 0 || length >= sizeof(text))
        return fallback;
    return std::strtol(text, nullptr, 0);
}
