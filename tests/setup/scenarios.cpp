// Whole runs of the wizard, each in a fresh process and folder. Control
// numbers: 1 OK/Next/Yes/Finish, 2 Cancel, 6 Yes and 7 No in message boxes,
// 1011-1015 page texts, 1021 licence question, 1030 name, 1031 company,
// 1040 Back, 1041 the licence page's No, 65535 a message box's text.
#include "tests/setup/scenario_driver.h"

namespace {

#define TO_NEXT                                                                                          \
    "Welcome: click 1 | Software License Agreement: click 1 | "                                         \
    "User Information: type 1030 Ann; type 1031 Orrin; wait 1; click 1"
#define TO_COMPLETE TO_NEXT " | Setup Complete: text 1011; click 1"
#define PAGES "window Welcome\nwindow Software License Agreement\nwindow User Information\nwindow Setup Complete\n"
#define FINISHED "Setup has finished lauching Windows CE Application Manager to install Kestrel1 to your mobile device."
#define LONG_TEXT                                                                                        \
    "text 1011: " FINISHED "\\n\\nBecause your mobile device is not connected to the PC properly, all files will " \
    "be transferred to your mobile device the next time you connect.\n"
#define NOT_CONNECTED                                                                                    \
    "window No connection found\ntext 65535: Your mobile device is not connected to the PC properly.\\nYou can "  \
    "exit Setup program to check your connection,\\nor you can continue your installation. Files will be "    \
    "transferred to your mobile device the next time you connect.\\nDo you want to continue?\n"
#define X10 "xxxxxxxxxx"
#define X100 X10 X10 X10 X10 X10 X10 X10 X10 X10 X10
#define QUILL_TAIL "ProviderName=Orrin\r\nProjectDirectory=\r\nLicenseAgreement=\r\nDefaultFolder=\r\n"

const Scenario SCENARIOS[] = {
    {"happy", "sample", "sample", "sample", "sample", "sample", "ready", "ok", 259, 0,
     "Setup: tryclose; splash; shot setup-splash | "
     "Welcome: idle; shot setup-welcome; progress; text 1011; click 1 | "
     "Software License Agreement: shot setup-licence; text 1021; click 1 | "
     "User Information: text 1030; type 1030 ___; type 1031 Orrin; idle; idle; idle; idle; enabled 1; "
     "type 1030 Ann; wait 1; shot setup-user; click 1 | "
     "Setup Complete: record; shot setup-complete; text 1011; text 1012; tryclose; click 1",
     "window Setup\nafter close: still open\nsplash: 400x240\nwindow Welcome\nprogress: 0 2 3 4 5 6 8 10\n"
     "text 1011: Kestrel1 Setup Program\\nVersion 1.00.46\\nOrrin Software\n"
     "window Software License Agreement\n"
     "text 1021: Do you accept all the terms of the preceding License Agreement? If you choose No, Setup will "
     "close. To install Kestrel1, you must accept this agreement.\n"
     "window User Information\ntext 1030: \nenabled 1: no\nwindow Setup Complete\nappmgr: as expected\n"
     "text 1011: Setup has finished lauching Windows CE Application Manager to install Kestrel1 to your mobile "
     "device.\ntext 1012: \nafter close: still open\n"},
    {"no-rapi-yes", "sample", nullptr, "sample", "sample", nullptr, nullptr, "ok", 0, 0,
     "No connection found: text 65535; click 6 | " TO_COMPLETE, "window Setup\n" NOT_CONNECTED PAGES LONG_TEXT},
    {"refused-no", "sample", nullptr, "sample", "sample", nullptr, "refuse", "ok", 0, 0, "No connection found: click 7",
     "window Setup\nwindow No connection found\n"},
    {"late-yes", "sample", nullptr, "sample", "sample", nullptr, "late", "ok", 0, 0,
     "No connection found: click 6 | " TO_COMPLETE, "window Setup\nwindow No connection found\n" PAGES LONG_TEXT},
    {"no-quill", nullptr, nullptr, "sample", "sample", "sample", "ready", "ok", 0, 0,
     "System file missing: text 65535; click 1",
     "window Setup\nwindow System file missing\ntext 65535: Missing setup binary file\\nSetup terminates...\n"},
    {"damaged-quill", "Version=1\r\nCEAppName=Kestrel1\r\n" QUILL_TAIL, nullptr, "sample", "sample", nullptr,
     "ready", "ok", 0, 0, "System file damaged: click 1", "window Setup\nwindow System file damaged\n"},
    {"empty-quill", "", nullptr, "sample", "sample", nullptr, "ready", "ok", 0, 0, "System file damaged: click 1",
     "window Setup\nwindow System file damaged\n"},
    {"no-package", "sample", nullptr, "sample", nullptr, nullptr, "ready", "ok", 0, 0,
     "System file missing: text 65535; click 1",
     "window Setup\nwindow System file missing\ntext 65535: Missing configuration file\\nSetup terminate...\n"},
    {"no-services", "sample", nullptr, "sample", "sample", nullptr, "ready", nullptr, 0, 0,
     "No Windows CE Services: text 65535; click 1",
     "window Setup\nwindow No Windows CE Services\ntext 65535: Please install the Windows CE Serevices\\nfirst, "
     "then try Setup again.\n"},
    {"no-default", "sample", nullptr, "sample", "sample", nullptr, "ready", "no-default", 0, 0,
     TO_NEXT " | RegQueryValueEx: click 1",
     "window Setup\nwindow Welcome\nwindow Software License Agreement\nwindow User Information\n"
     "window RegQueryValueEx\n"},
    {"no-program", "sample", nullptr, "sample", "sample", nullptr, "ready", "no-program", 0, 0,
     TO_NEXT " | CreateProcess: click 1",
     "window Setup\nwindow Welcome\nwindow Software License Agreement\nwindow User Information\n"
     "window CreateProcess\n"},
    {"back-and-forth", "sample", nullptr, "Short terms.\nSecond line.", "sample", nullptr, "ready", "ok", 0, 95,
     "Welcome: click 1 | Software License Agreement: click 1 | "
     "User Information: prefill; type 1030 Typed; click 1040 | Software License Agreement: text 1020; click 1 | "
     "User Information: prefill; click 2; idle; alive; close | Exit Setup: click 7 | Exit Setup: click 6",
     "window Setup\nwindow Welcome\nwindow Software License Agreement\nwindow User Information\n"
     "prefill: as expected\nwindow Software License Agreement\ntext 1020: Short terms.\\nSecond line.\n"
     "window User Information\nprefill: as expected\nwindow Exit Setup\nalive: yes\nwindow Exit Setup\n"},
    {"nt-prefill", "sample", nullptr, "sample", "sample", nullptr, "ready", "ok", 0, 40,
     "Welcome: click 1 | Software License Agreement: click 1041; idle; click 1 | Exit Setup: click 7 | "
     "User Information: prefill; close | Exit Setup: click 6",
     "window Setup\nwindow Welcome\nwindow Software License Agreement\nwindow Exit Setup\n"
     "window User Information\nprefill: as expected\nwindow Exit Setup\n"},
    {"no-licence", "sample", nullptr, nullptr, "sample", nullptr, "ready", "ok", 0, 0,
     "Welcome: click 2; idle; click 1 | Exit Setup: click 7 | User Information: text 1030; click 1040 | "
     "User Information: click 2 | Exit Setup: click 6",
     "window Setup\nwindow Welcome\nwindow Exit Setup\nwindow User Information\ntext 1030: \n"
     "window User Information\nwindow Exit Setup\n"},
    {"ini-texts", "sample",
     "bgtopcolor=300,0,0\r\nbgbottomcolor= 0, 0 ,0\r\nbgtitle=Custom Title\r\nwctitle1=One\\rTwo\r\n"
     "wctitle2=\r\nwctitle3=Third\r\nwctitle4=" X100 X100 X100 "\r\nfntitle1=Done\\rReally\r\nfntitle2=Last line",
     "sample", "sample", nullptr, "ready", "ok", 0, 0,
     "Welcome: title; pixel; text 1011; text 1012; text 1013; text 1014; click 1 | "
     "Software License Agreement: click 1 | User Information: type 1030 A; type 1031 B; wait 1; click 1 | "
     "Setup Complete: text 1011; text 1012; click 1",
     "window Setup\nwindow Welcome\ntitle: Custom Title\npixel: 44,0,0\ntext 1011: One\\nTwo\n"
     "text 1012: It is strongly recommended that you exit all Windows programs before running this Setup "
     "program.\ntext 1013: Third\ntext 1014: " X100 X100 X10 X10 X10 X10 "xxxxxxxxx\n"
     "window Software License Agreement\nwindow User Information\nwindow Setup Complete\n"
     "text 1011: Done\\nReally\ntext 1012: Last line\n"},
    {"large-files", "sample", "bgtitle=Early\r\nLARGE\r\nwctitle1=Late\r\n", "LARGE", "sample", nullptr, "ready",
     "ok", 0, 0, "Welcome: title; text 1011; click 1 | Software License Agreement: length 1020; click 1041 | "
     "Exit Setup: click 6",
     "window Setup\nwindow Welcome\ntitle: Early\ntext 1011: Kestrel1 Setup Program\\nVersion 1.00.46\\nOrrin "
     "Software\nwindow Software License Agreement\nlength 1020: 65536\nwindow Exit Setup\n"},
    {"licence-paging", "sample", nullptr, "LARGE", "sample", nullptr, "ready", "ok", 0, 0,
     "Welcome: click 1 | Software License Agreement: top 1020; key 34; idle; top 1020; key 34; idle; top 1020; "
     "key 33; idle; top 1020; key 33; idle; key 33; idle; top 1020; click 1041 | Exit Setup: click 6",
     "window Setup\nwindow Welcome\nwindow Software License Agreement\ntop 1020: 0\ntop 1020: down\n"
     "top 1020: down\ntop 1020: up\ntop 1020: up\nwindow Exit Setup\n"},
    {"bad-picture", "sample", nullptr, "sample", "sample", "compressed", "ready", "ok", 0, 0,
     "Setup: splash | Welcome: click 2 | Exit Setup: click 6",
     "window Setup\nsplash: none\nwindow Welcome\nwindow Exit Setup\n"},
};

} // namespace

const Scenario* findScenario(const std::string& name) {
    for (const Scenario& scenario : SCENARIOS) {
        if (name == scenario.name)
            return &scenario;
    }
    return nullptr;
}
