// Runs setup.exe's program in this process the way a person would: a hook
// sees each dialog and message box appear, and a script clicks, types and
// notes what the windows show into a journal that the scenario compares.
#pragma once

#include <string>

struct Scenario {
    const char* name;
    // Files of the program's folder, each "sample" (from the sample
    // distribution), null (absent) or a text of its own.
    const char* quill;   // plain text, packed on the way in
    const char* ini;
    const char* licence;
    const char* package; // Kestrel1.ini
    const char* picture; // setup.bmp: "sample", "compressed" or null
    const char* rapi;    // "ready", "refuse", "late" or null (no RAPI.dll)
    const char* appPaths; // "ok", "no-default", "no-program" or null (no key)
    int appManagerExit;
    int platform;        // 0 other, 95 or 40 (NT 4)
    // Steps: "Caption: action; action | Caption: ..." run at each new dialog.
    const char* steps;
    const char* journal; // lines expected, '\n' after each
};

const Scenario* findScenario(const std::string& name);
// Parent side: prepares a folder with a copy of this program, runs it there.
int runScenario(const Scenario& scenario, const std::string& shotsFolder);
// Child side: plays the scenario against the wizard and checks the journal.
int playScenario(const Scenario& scenario);
