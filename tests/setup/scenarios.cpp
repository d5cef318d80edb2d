// Whole runs of the wizard, each in a fresh process and folder. Control
// numbers: 1 OK/Next/Yes/Finish, 2 Cancel, 6 Yes and 7 No in message boxes,
// 1011-1015 page texts, 1021 licence question, 1030 name, 1031 company,
// 1040 Back, 1041 the licence page's No.
#include "tests/setup/scenario_driver.h"

#include <cstring>

namespace {

const char* const PAGES_TO_COMPLETE =
    "Welcome: click 1 | Software License Agreement: click 1 | "
    "User Information: type 1030 Ann; type 1031 Orrin; wait 1; click 1 | Setup Complete: text 1011; click 1";
const char* const PAGES_JOURNAL = "window Welcome\nwindow Software License Agreement\nwindow User Information\n"
                                  "window Setup Complete\n";
const char* const SHORT_TEXT = "Setup has finished lauching Windows CE Application Manager to install Kestrel1 to "
                               "your mobile device.";
const char* const QUIT = "Exit Setup: click 6";

const Scenario SCENARIOS[] = {
    {"happy", "sample", "sample", "sample", "sample", "sample", "ready", "ok", 259, 0,
     "Setup: splash; shot setup-splash; close; alive | "
     "Welcome: idle; shot setup-welcome; progress; text 1011; click 1 | "
     "Software License Agreement: shot setup-licence; text 1021; click 1 | "
     "User Information: text 1030; type 1030 ___; type 1031 Orrin; idle; idle; idle; idle; enabled 1; "
     "type 1030 Ann; wait 1; shot setup-user; click 1 | "
     "Setup Complete: record; shot setup-complete; text 1011; text 1012; close; idle; alive; click 1",
     "window Setup\nsplash: 400x240\nalive: yes\nwindow Welcome\nprogress: 0 2 3 4 5 6 8 10\n"
     "text 1011: Kestrel1 Setup Program\\nVersion 1.00.46\\nOrrin Software\n"
     "window Software License Agreement\n"
     "text 1021: Do you accept all the terms of the preceding License Agreement? If you choose No, Setup will "
     "close. To install Kestrel1, you must accept this agreement.\n"
     "window User Information\ntext 1030: \nenabled 1: no\nwindow Setup Complete\nappmgr: as expected\n"
     "text 1011: Setup has finished lauching Windows CE Application Manager to install Kestrel1 to your mobile "
     "device.\ntext 1012: \nalive: yes\n"},
};

} // namespace

const Scenario* findScenario(const std::string& name) {
    for (const Scenario& scenario : SCENARIOS) {
        if (name == scenario.name)
            return &scenario;
    }
    return nullptr;
}
