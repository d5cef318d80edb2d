#include "tests/setup/scenario_driver.h"

#include "setup/core/setup_text.h"
#include "setup/setup_state.h"

#include <commctrl.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <vector>

namespace {

// Both bounds are far above a normal run (a few seconds) and end a hung one.
constexpr DWORD CHILD_WAIT_MS = 90000;
constexpr DWORD WATCHDOG_MS = 60000;
constexpr UINT TICK_MS = 100;
constexpr int TOP_SETTLE_TICKS = 10;
constexpr int KEY_FOCUS_TICKS = 20;
constexpr const char* APP_PATHS = "Software\\Microsoft\\Windows\\CurrentVersion\\App Paths\\CEAPPMGR.EXE";

const Scenario* current;
std::string journal;
std::string progress;
std::vector<HWND> seenDialogs;
std::vector<std::string> pendingSteps;
struct Job { HWND window; std::vector<std::string> actions; };
std::vector<Job> jobs;

std::string exeFolder() {
    char path[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string text = path;
    return text.substr(0, text.rfind('\\'));
}

std::vector<std::string> split(const std::string& text, char separator) {
    std::vector<std::string> parts;
    std::stringstream stream(text);
    for (std::string part; std::getline(stream, part, separator);) {
        std::size_t start = part.find_first_not_of(' ');
        if (start != std::string::npos)
            parts.push_back(part.substr(start, part.find_last_not_of(' ') - start + 1));
    }
    return parts;
}

std::string oneLine(const std::string& text) {
    std::string line;
    for (char c : text)
        line += c == '\n' ? std::string("\\n") : c == '\r' ? std::string() : std::string(1, c);
    return line;
}

std::string windowText(HWND window) {
    char text[1200] = {};
    GetWindowTextA(window, text, sizeof(text));
    return oneLine(text);
}

void note(const std::string& line) { journal += line + "\n"; }

std::string readText(const std::string& name) {
    std::ifstream in(name, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void checkRecord() {
    std::string folder = exeFolder();
    std::string expected = folder + "\\appmgr\\CEAPPMGR.EXE \"" + folder + "\\Kestrel1.ini\"\n" + folder + "\n";
    std::string actual = readText(folder + "\\record.txt");
    note(actual == expected ? "appmgr: as expected" : "appmgr: " + oneLine(actual) + " expected " + oneLine(expected));
}

std::string registryText(HKEY key, DWORD index) {
    char name[256], data[257] = {};
    DWORD nameLength = sizeof(name), dataLength = 256, type = 0;
    if (RegEnumValueA(key, index, name, &nameLength, nullptr, &type, reinterpret_cast<BYTE*>(data), &dataLength) ||
        (type != REG_SZ && type != REG_EXPAND_SZ))
        return "";
    return data;
}

void checkPrefill(HWND page) {
    const char* keyName = current->platform == 95 ? "SOFTWARE\\Microsoft\\Windows\\CurrentVersion"
                                                  : "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion";
    DWORD index = current->platform == 95 ? 4 : 2;
    HKEY key;
    std::string name, company;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, keyName, 0, KEY_READ, &key) == ERROR_SUCCESS) {
        name = registryText(key, index);
        company = registryText(key, index + 1);
        RegCloseKey(key);
    }
    bool same = !name.empty() && windowText(GetDlgItem(page, 1030)) == name &&
                windowText(GetDlgItem(page, 1031)) == company;
    note(same ? "prefill: as expected" : "prefill: differs from the registry");
}

void saveShot(const std::string& name) {
    char folder[MAX_PATH] = {};
    if (!GetEnvironmentVariableA("KESTREL_SHOTS_BMP", folder, sizeof(folder)))
        return;
    int width = GetSystemMetrics(SM_CXSCREEN), height = GetSystemMetrics(SM_CYSCREEN);
    HDC screen = GetDC(nullptr), memory = CreateCompatibleDC(screen);
    HBITMAP bitmap = CreateCompatibleBitmap(screen, width, height);
    HGDIOBJ previous = SelectObject(memory, bitmap);
    BitBlt(memory, 0, 0, width, height, screen, 0, 0, SRCCOPY);
    SelectObject(memory, previous);
    BITMAPINFOHEADER info{sizeof(info), width, height, 1, 24, BI_RGB, 0, 0, 0, 0, 0};
    std::vector<char> pixels(static_cast<std::size_t>((width * 3 + 3) / 4 * 4) * height);
    GetDIBits(memory, bitmap, 0, height, pixels.data(), reinterpret_cast<BITMAPINFO*>(&info), DIB_RGB_COLORS);
    BITMAPFILEHEADER file{0x4D42, static_cast<DWORD>(sizeof(file) + sizeof(info) + pixels.size()), 0, 0,
                          sizeof(file) + sizeof(info)};
    std::ofstream out(std::string(folder) + "\\" + name + ".bmp", std::ios::binary);
    out.write(reinterpret_cast<char*>(&file), sizeof(file)).write(reinterpret_cast<char*>(&info), sizeof(info));
    out.write(pixels.data(), static_cast<std::streamsize>(pixels.size()));
    DeleteObject(bitmap);
    DeleteDC(memory);
    ReleaseDC(nullptr, screen);
}

// One action; false to try it again on the next tick.
bool act(HWND window, const std::string& action) {
    std::string verb = action.substr(0, action.find(' '));
    std::string rest = action.size() > verb.size() ? action.substr(verb.size() + 1) : "";
    int id = std::atoi(rest.c_str());
    HWND control = GetDlgItem(window, id);
    if (verb == "click")
        PostMessageA(control, BM_CLICK, 0, 0);
    else if (verb == "close")
        PostMessageA(window, WM_SYSCOMMAND, SC_CLOSE, 0);
    else if (verb == "tryclose") { // only where closing opens no question
        SendMessageA(window, WM_SYSCOMMAND, SC_CLOSE, 0);
        MSG posted; // a dialog turns the close into a posted Cancel command
        while (PeekMessageA(&posted, window, WM_COMMAND, WM_COMMAND, PM_REMOVE))
            DispatchMessageA(&posted);
        note(std::string("after close: ") + (IsWindowVisible(window) ? "still open" : "closed"));
    }
    else if (verb == "type") {
        SendMessageA(control, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(""));
        for (char c : rest.substr(rest.find(' ') + 1)) // '_' types a blank
            SendMessageA(control, WM_CHAR, c == '_' ? ' ' : static_cast<unsigned char>(c), 0);
    } else if (verb == "wait")
        return IsWindowEnabled(control) != FALSE;
    else if (verb == "text")
        note("text " + rest + ": " + windowText(control));
    else if (verb == "length")
        note("length " + rest + ": " + std::to_string(GetWindowTextLengthA(control)));
    else if (verb == "enabled")
        note("enabled " + rest + ": " + (IsWindowEnabled(control) ? "yes" : "no"));
    else if (verb == "alive")
        note(std::string("alive: ") + (IsWindowVisible(window) ? "yes" : "no"));
    else if (verb == "splash") {
        RECT rect{};
        HWND splash = FindWindowA("SplashWindow", nullptr);
        GetClientRect(splash, &rect);
        note("splash: " + (splash && IsWindowVisible(splash) ? std::to_string(rect.right) + "x" +
                                                                     std::to_string(rect.bottom)
                                                               : std::string("none")));
    } else if (verb == "progress")
        note("progress:" + progress);
    else if (verb == "record")
        checkRecord();
    else if (verb == "prefill")
        checkPrefill(window);
    else if (verb == "title")
        note(std::string("title: ") + setupState.WindowTitleText);
    else if (verb == "pixel") {
        HDC dc = GetDC(setupState.backgroundWindow);
        COLORREF colour = GetPixel(dc, 5, 1);
        ReleaseDC(setupState.backgroundWindow, dc);
        note("pixel: " + std::to_string(GetRValue(colour)) + "," + std::to_string(GetGValue(colour)) + "," +
             std::to_string(GetBValue(colour)));
    } else if (verb == "key") { // as the dialog's loop gets a key pressed on the focused control
        static int waits = 0;
        HWND focus = GetFocus();
        bool ours = focus != nullptr && (focus == window || IsChild(window, focus));
        // Tests run side by side on one desktop: another program's window may
        // be active, and a user would bring this one forward before typing.
        if (!ours && ++waits < KEY_FOCUS_TICKS) {
            SetForegroundWindow(window);
            return false;
        }
        waits = 0;
        PostMessageA(focus, WM_KEYDOWN, static_cast<WPARAM>(id), 0);
    } else if (verb == "top") { // the first line shown, against the last one noted
        static LRESULT lastTop = -1;
        static int unchangedTicks = 0;
        LRESULT top = SendMessageA(control, EM_GETFIRSTVISIBLELINE, 0, 0);
        // A loaded machine may deliver the key a tick late: an unchanged top
        // is only noted once it has stayed so for a while.
        if (top == lastTop && ++unchangedTicks < TOP_SETTLE_TICKS)
            return false;
        unchangedTicks = 0;
        note("top " + rest + ": " + (lastTop < 0 ? std::to_string(top) : top > lastTop ? "down" : top < lastTop ? "up" : "same"));
        lastTop = top;
    } else if (verb == "shot")
        saveShot(rest);
    return true; // "idle" and everything above are done in one tick
}

void CALLBACK tick(HWND, UINT, UINT_PTR, DWORD) {
    if (!jobs.empty() && !IsWindow(jobs.back().window))
        jobs.pop_back();
    // A modal dialog shows itself once its queue is idle, which may be after a tick.
    if (jobs.empty() || !IsWindowVisible(jobs.back().window))
        return;
    Job& job = jobs.back();
    if (!job.actions.empty() && act(job.window, job.actions.front()))
        job.actions.erase(job.actions.begin());
    if (jobs.back().actions.empty())
        jobs.pop_back();
}

LRESULT CALLBACK cbtHook(int code, WPARAM wParam, LPARAM lParam) {
    HWND window = reinterpret_cast<HWND>(wParam);
    char className[16] = {};
    GetClassNameA(window, className, sizeof(className));
    if (code == HCBT_ACTIVATE && std::string(className) == "#32770" &&
        std::find(seenDialogs.begin(), seenDialogs.end(), window) == seenDialogs.end()) {
        seenDialogs.push_back(window);
        std::string caption = windowText(window);
        note("window " + caption);
        if (!pendingSteps.empty() && pendingSteps.front().rfind(caption + ":", 0) == 0) {
            jobs.push_back({window, split(pendingSteps.front().substr(caption.size() + 1), ';')});
            pendingSteps.erase(pendingSteps.begin());
        }
    }
    return CallNextHookEx(nullptr, code, wParam, lParam);
}

LRESULT CALLBACK callHook(int code, WPARAM wParam, LPARAM lParam) {
    auto* call = reinterpret_cast<CWPSTRUCT*>(lParam);
    if (code == HC_ACTION && call->message == PBM_SETPOS)
        progress += " " + std::to_string(call->wParam);
    return CallNextHookEx(nullptr, code, wParam, lParam);
}

PlatformVersion scenarioPlatform() {
    if (current->platform == 95)
        return {PlatformVersion::FAMILY_WIN95, 4};
    if (current->platform == 40)
        return {PlatformVersion::FAMILY_NT, 4};
    return {PlatformVersion::FAMILY_NT, 10};
}

DWORD WINAPI watchdog(LPVOID) {
    Sleep(WATCHDOG_MS);
    std::printf("%s: no end after %lu ms; journal so far:\n%s", current->name, WATCHDOG_MS, journal.c_str());
    std::fflush(stdout);
    ExitProcess(3);
}

bool writeFile(const std::string& name, std::string bytes) {
    std::ofstream out(name, std::ios::binary);
    return static_cast<bool>(out.write(bytes.data(), static_cast<std::streamsize>(bytes.size())));
}

// Puts file name into folder as the scenario says: from the sample, its own text, or not at all.
void placeFile(const std::string& folder, const char* name, const char* content, bool complement = false) {
    std::string target = folder + "\\" + name;
    DeleteFileA(target.c_str());
    if (content == nullptr)
        return;
    std::string sample = std::string(KESTREL_SAMPLE_DIR) + "\\" + name;
    std::string bytes = std::string(content) == "sample" ? readText(sample) : content;
    std::size_t large = bytes.find("LARGE"); // 1 MiB of lines, beyond what the wizard reads of a text file
    std::string line = std::string(78, 'x') + "\r\n", lines;
    for (int i = 0; large != std::string::npos && i < 1024 * 1024 / 80; ++i)
        lines += line;
    if (large != std::string::npos)
        bytes.replace(large, 5, lines);
    if (std::string(content) == "compressed") {
        bytes = readText(std::string(KESTREL_SAMPLE_DIR) + "\\setup.bmp");
        bytes[30] = 1; // run-length encoded, 8 bits
    } else if (complement && std::string(content) != "sample") {
        std::vector<std::uint8_t> packed(bytes.begin(), bytes.end());
        complementBytes(packed);
        bytes.assign(packed.begin(), packed.end());
    }
    writeFile(target, bytes);
}

void registerAppManager(const Scenario& scenario, const std::string& folder) {
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, APP_PATHS);
    if (scenario.appPaths == nullptr)
        return;
    HKEY key;
    RegCreateKeyExA(HKEY_LOCAL_MACHINE, APP_PATHS, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr);
    std::string program = folder + (std::string(scenario.appPaths) == "ok" ? "\\appmgr\\CEAPPMGR.EXE" : "\\appmgr\\NONE.EXE");
    if (std::string(scenario.appPaths) != "no-default")
        RegSetValueExA(key, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(program.c_str()),
                       static_cast<DWORD>(program.size() + 1));
    RegCloseKey(key);
}

} // namespace

int runScenario(const Scenario& scenario, const std::string& shotsFolder) {
    std::string folder = exeFolder() + "\\scenario-" + scenario.name;
    CreateDirectoryA(folder.c_str(), nullptr);
    CreateDirectoryA((folder + "\\appmgr").c_str(), nullptr);
    placeFile(folder, "quill.bin", scenario.quill, true);
    placeFile(folder, "setup.ini", scenario.ini);
    placeFile(folder, "License.txt", scenario.licence);
    placeFile(folder, "Kestrel1.ini", scenario.package);
    placeFile(folder, "setup.bmp", scenario.picture);
    DeleteFileA((folder + "\\record.txt").c_str());
    DeleteFileA((folder + "\\RAPI.dll").c_str());
    std::string doubles = KESTREL_DOUBLES_DIR;
    if (scenario.rapi != nullptr)
        CopyFileA((doubles + "\\RAPI.dll").c_str(), (folder + "\\RAPI.dll").c_str(), FALSE);
    CopyFileA((doubles + "\\CEAPPMGR.EXE").c_str(), (folder + "\\appmgr\\CEAPPMGR.EXE").c_str(), FALSE);
    registerAppManager(scenario, folder);
    std::string rapi = scenario.rapi != nullptr ? scenario.rapi : "";
    SetEnvironmentVariableA("KESTREL_RAPI_RESULT", rapi == "refuse" ? "1" : "0");
    SetEnvironmentVariableA("KESTREL_RAPI_DELAY_MS", rapi == "late" ? "1500" : "0");
    SetEnvironmentVariableA("KESTREL_APPMGR_RECORD", (folder + "\\record.txt").c_str());
    SetEnvironmentVariableA("KESTREL_APPMGR_WAIT_MS", "700");
    SetEnvironmentVariableA("KESTREL_APPMGR_EXIT", std::to_string(scenario.appManagerExit).c_str());
    SetEnvironmentVariableA("KESTREL_SHOTS_BMP", shotsFolder.empty() ? nullptr : shotsFolder.c_str());
    char self[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, self, MAX_PATH);
    std::string child = folder + "\\setup_scenarios.exe";
    CopyFileA(self, child.c_str(), FALSE);
    std::string commandLine = child + " play " + scenario.name;
    STARTUPINFOA startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process{};
    if (!CreateProcessA(nullptr, commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr, folder.c_str(), &startup,
                        &process)) {
        std::printf("cannot start %s\n", commandLine.c_str());
        return 1;
    }
    DWORD exitCode = 1;
    if (WaitForSingleObject(process.hProcess, CHILD_WAIT_MS) != WAIT_OBJECT_0) {
        std::printf("%s did not end within %lu ms\n", scenario.name, CHILD_WAIT_MS);
        TerminateProcess(process.hProcess, 1);
    } else {
        GetExitCodeProcess(process.hProcess, &exitCode);
    }
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return static_cast<int>(exitCode);
}

int playScenario(const Scenario& scenario) {
    current = &scenario;
    pendingSteps = split(scenario.steps, '|');
    queryPlatformVersion = scenarioPlatform;
    // Loaded ahead so that a busy machine cannot make a ready device miss the
    // wizard's 500 ms wait; the wizard still finds the library by name.
    LoadLibraryA("RAPI.dll");
    CreateThread(nullptr, 0, watchdog, nullptr, 0, nullptr);
    SetWindowsHookExA(WH_CBT, cbtHook, nullptr, GetCurrentThreadId());
    SetWindowsHookExA(WH_CALLWNDPROC, callHook, nullptr, GetCurrentThreadId());
    SetTimer(nullptr, 0, TICK_MS, tick);
    int exitCode = runSetup(GetModuleHandleA(nullptr));
    bool ok = exitCode == 0 && journal == scenario.journal && pendingSteps.empty();
    if (!ok)
        std::printf("%s: exit code %d, steps left %zu\njournal:\n%s\nexpected:\n%s", scenario.name, exitCode,
                    pendingSteps.size(), journal.c_str(), scenario.journal);
    return ok ? 0 : 1;
}

int main(int argc, char** argv) {
    const Scenario* scenario = argc >= 3 ? findScenario(argv[2]) : nullptr;
    std::string mode = argc >= 2 ? argv[1] : "";
    if (scenario != nullptr && mode == "run")
        return runScenario(*scenario, argc >= 4 ? argv[3] : "");
    if (scenario != nullptr && mode == "play")
        return playScenario(*scenario);
    std::printf("usage: setup_scenarios run|play NAME [SHOTS_FOLDER]\n");
    return 2;
}
