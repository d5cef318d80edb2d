// The Font dialog (107): face, style and size of the terminal font.
#include <windows.h>

#include <cwchar>
#include <cwctype>
#include <string>

#include "shell/device_services.h"
#include "shell/dialog_ids.h"
#include "shell/modeless_dialog.h"
#include "shell/resource_ids.h"
#include "shell/session_commands.h"
#include "shell/settings_store.h"
#include "shell/shell_state.h"
#include "shell/terminal_view.h"

namespace kestrel {
namespace {

constexpr const wchar_t* FONT_SIZES[] = {L"4", L"6", L"8", L"9", L"10", L"11", L"12", L"14", L"16", L"18", L"24", L"28"};
constexpr int POINTS_PER_INCH = 72;
// The style box sorts "Bold" before "Regular".
constexpr WPARAM STYLE_INDEX_BOLD = 0;
constexpr WPARAM STYLE_INDEX_REGULAR = 1;
// The select-string searches start after entry 0 and wrap round.
constexpr WPARAM SEARCH_AFTER_FIRST = 0;
// A combo box entry holds at most a face name or a size text.
constexpr int ENTRY_TEXT_SIZE = LF_FACESIZE;

LRESULT addEntry(HWND box, const wchar_t* text) {
    return SendMessageW(box, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(text));
}

void selectExactOrPrefix(HWND box, const wchar_t* exact, const wchar_t* prefix) {
    LRESULT index = exact == nullptr ? CB_ERR
                                     : SendMessageW(box, CB_FINDSTRINGEXACT, WPARAM(-1),
                                                    reinterpret_cast<LPARAM>(exact));
    if (index != CB_ERR) {
        SendMessageW(box, CB_SETCURSEL, WPARAM(index), 0);
        return;
    }
    if (SendMessageW(box, CB_SELECTSTRING, SEARCH_AFTER_FIRST, reinterpret_cast<LPARAM>(prefix)) == CB_ERR)
        SendMessageW(box, CB_SETCURSEL, 0, 0);
}

int CALLBACK addFixedPitchFamily(const LOGFONTW* font, const TEXTMETRICW*, DWORD, LPARAM box) {
    HWND faceBox = reinterpret_cast<HWND>(box);
    bool fixedPitch = (font->lfPitchAndFamily & 3) == FIXED_PITCH;
    if (std::wcslen(font->lfFaceName) > 1 && fixedPitch &&
        SendMessageW(faceBox, CB_FINDSTRINGEXACT, WPARAM(-1), reinterpret_cast<LPARAM>(font->lfFaceName)) == CB_ERR)
        addEntry(faceBox, font->lfFaceName);
    return 1;
}

// The stored settings, or the terminal font's defaults when none are stored.
bool storedFont(FontSettings& font) {
    if (loadFontSettings(font))
        return true;
    font = FontSettings{};
    std::wstring face = widen(settings::DEFAULT_FONT_FACE);
    wcsncpy(font.face, face.c_str(), settings::FONT_FACE_CAPACITY - 1);
    return false;
}

// The point size a stored height was made from, rounded so that every size
// saved through OK comes back as its own entry.
int pointsFromHeight(LONG height, int pixelsPerInch) {
    long pixels = height < 0 ? -long(height) : long(height);
    return int((pixels * POINTS_PER_INCH + pixelsPerInch / 2) / pixelsPerInch);
}

void initialise(HWND dialog) {
    addCaptionOkButton(dialog);
    HWND style = GetDlgItem(dialog, IDC_FONT_STYLE);
    SendMessageW(style, CB_SETITEMDATA, WPARAM(addEntry(style, L"Regular")), settings::FONT_WEIGHT_REGULAR);
    SendMessageW(style, CB_SETITEMDATA, WPARAM(addEntry(style, L"Bold")), settings::FONT_WEIGHT_BOLD);
    HWND size = GetDlgItem(dialog, IDC_FONT_SIZE);
    for (const wchar_t* text : FONT_SIZES)
        addEntry(size, text);
    HWND face = GetDlgItem(dialog, IDC_FONT_FACE);
    HDC dc = GetDC(MainWindow);
    EnumFontFamiliesW(dc, nullptr, addFixedPitchFamily, reinterpret_cast<LPARAM>(face));
    FontSettings font;
    bool stored = storedFont(font);
    selectExactOrPrefix(face, font.face, L"Terminal");
    // Without stored settings there is no stored size to find: the list's
    // "8" is the default entry.
    std::wstring points = std::to_wstring(pointsFromHeight(font.height, GetDeviceCaps(dc, LOGPIXELSX)));
    selectExactOrPrefix(size, stored ? points.c_str() : nullptr, L"8");
    SendMessageW(style, CB_SETCURSEL, font.weight == settings::FONT_WEIGHT_REGULAR ? STYLE_INDEX_REGULAR : STYLE_INDEX_BOLD, 0);
    ReleaseDC(MainWindow, dc);
}

std::wstring selectedText(HWND box) {
    LRESULT index = SendMessageW(box, CB_GETCURSEL, 0, 0);
    LRESULT length = index == CB_ERR ? CB_ERR : SendMessageW(box, CB_GETLBTEXTLEN, WPARAM(index), 0);
    if (length == CB_ERR || length >= ENTRY_TEXT_SIZE)
        return {};
    wchar_t text[ENTRY_TEXT_SIZE] = {};
    SendMessageW(box, CB_GETLBTEXT, WPARAM(index), reinterpret_cast<LPARAM>(text));
    return text;
}

void replaceTerminalFont(const FontSettings& font) {
    LOGFONTW description = {};
    description.lfHeight = font.height;
    description.lfWeight = font.weight;
    description.lfCharSet = DEFAULT_CHARSET;
    description.lfPitchAndFamily = 0;
    wcsncpy(description.lfFaceName, font.face, LF_FACESIZE - 1);
    if (TerminalFont != nullptr)
        DeleteObject(TerminalFont);
    TerminalFont = CreateFontIndirectW(&description);
}

void accept(HWND dialog) {
    HDC dc = GetDC(MainWindow);
    FontSettings font;
    storedFont(font);
    std::wstring face = selectedText(GetDlgItem(dialog, IDC_FONT_FACE));
    if (!face.empty()) {
        std::fill(std::begin(font.face), std::end(font.face), L'\0');
        wcsncpy(font.face, face.c_str(), settings::FONT_FACE_CAPACITY - 1);
    }
    std::wstring points = selectedText(GetDlgItem(dialog, IDC_FONT_SIZE));
    if (!points.empty())
        font.height = -((std::wcstol(points.c_str(), nullptr, 10) * GetDeviceCaps(dc, LOGPIXELSX)) / POINTS_PER_INCH);
    HWND style = GetDlgItem(dialog, IDC_FONT_STYLE);
    LRESULT styleIndex = SendMessageW(style, CB_GETCURSEL, 0, 0);
    if (styleIndex != CB_ERR)
        font.weight = LONG(SendMessageW(style, CB_GETITEMDATA, WPARAM(styleIndex), 0));
    replaceTerminalFont(font);
    RECT area = {0, 0, TerminalWidth, TerminalHeight};
    InvalidateRect(MainWindow, &area, TRUE);
    UpdateWindow(MainWindow);
    saveFontSettings(font);
    ReleaseDC(MainWindow, dc);
    DestroyWindow(dialog);
    SendMessageW(MainWindow, MSG_RELAYOUT, 0, 0);
}

} // namespace

void openFontDialog() {
    static ModelessDialog dialog = {IDD_FONT, initialise, accept};
    openModelessDialog(dialog);
}

} // namespace kestrel
