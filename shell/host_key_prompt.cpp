#include "shell/host_key_prompt.h"

#include "engine/printable_text.h"
#include "engine/settings_schema.h"
#include "engine/status_log.h"
#include "shell/settings_store.h"
#include "shell/shell_state.h"

namespace kestrel {

namespace {

// The box on screen while a question is open (user-interface thread only).
const wchar_t* OpenCaption = nullptr;
bool CloseRequested = false;

std::string keyLine(const RsaPublicKey& key)
{
    return std::to_string(modulusBits(key)) + " bits, " + hostKeyFingerprint(key);
}

// "MD5:" and eight bytes on a line: a whole fingerprint is wider than the
// device's box.
constexpr std::size_t FINGERPRINT_LINE = 4 + 8 * 3;

std::wstring boxFingerprint(const std::string& fingerprint)
{
    std::wstring text = widen(fingerprint.c_str());
    if (text.size() > FINGERPRINT_LINE) {
        text.insert(FINGERPRINT_LINE, L"\n");
    }
    return text;
}

std::wstring where(const HostKeyQuestion& question)
{
    return widen(question.host.c_str()) + L" port " + std::to_wstring(question.port);
}

std::wstring removalHint(const HostKeyQuestion& question)
{
    return L"To accept a new key of this server, delete the value \"" +
           hostKeyValueName(question.host, question.port) + L"\" under HKEY_CURRENT_USER\\" +
           widen(settings::KEY_PATH) + L"\\" + widen(HOST_KEYS_SUBKEY) + L".";
}

int showBox(const wchar_t* caption, const std::wstring& text, UINT style)
{
    OpenCaption = caption;
    int answer = MessageBoxW(MainWindow, text.c_str(), caption, style);
    OpenCaption = nullptr;
    return answer;
}

BOOL CALLBACK closeOpenBox(HWND window, LPARAM)
{
    wchar_t caption[64] = {};
    wchar_t className[16] = {};
    GetClassNameW(window, className, 16);
    GetWindowTextW(window, caption, 64);
    if (wcscmp(className, L"#32770") != 0 || OpenCaption == nullptr || wcscmp(caption, OpenCaption) != 0) {
        return TRUE;
    }
    // A Yes/No box ends as No, an OK box as OK.
    UINT button = GetDlgItem(window, IDNO) != nullptr ? IDNO : IDOK;
    PostMessageW(window, WM_COMMAND, MAKEWPARAM(button, BN_CLICKED), 0);
    return FALSE;
}

LRESULT askAboutNewKey(HostKeyQuestion& question)
{
    std::wstring text = L"The host key of " + where(question) + L" is not known.\n\nKey: " +
                        std::to_wstring(modulusBits(*question.key)) + L" bits,\n" +
                        boxFingerprint(hostKeyFingerprint(*question.key)) +
                        L"\n\nIf you cannot check this fingerprint, anyone on the way to the server could be "
                        L"posing as it.\n\nTrust this key and remember it?";
    int answer = showBox(CAPTION_UNKNOWN_HOST_KEY, text, MB_YESNO | MB_ICONQUESTION | MB_DEFBUTTON2);
    if (answer != IDYES || CloseRequested) {
        return HOST_KEY_REFUSED;
    }
    question.stored = storeHostKey(question.host, question.port, *question.key);
    if (!question.stored) {
        showBox(CAPTION_HOST_KEY_NOT_STORED,
                L"The key of " + where(question) +
                    L" cannot be stored in the registry. It is trusted for this session only.",
                MB_OK | MB_ICONWARNING);
    }
    return HOST_KEY_TRUSTED;
}

}  // namespace

bool ShellSessionHost::acceptHostKey(const RsaPublicKey& key)
{
    HostKeyQuestion question;
    question.host = host_;
    question.port = port_;
    question.key = &key;
    question.lookup = lookUpHostKey(host_, port_, key);
    std::string shown = keyLine(key);
    switch (question.lookup.result) {
    case StoredHostKey::Matches:
        logStatus("Host key known: " + shown + "\n");
        return true;
    case StoredHostKey::Unknown:
        logStatus("Host key not known: " + shown + "\n");
        break;
    case StoredHostKey::Changed:
        logStatus("ERROR - Host key changed: " + shown + ", stored " + question.lookup.storedFingerprint + "\n");
        break;
    case StoredHostKey::Unreadable:
        logStatus("ERROR - Stored host key cannot be read: " + printable(question.lookup.problem) + "\n");
        break;
    }
    bool trusted = SendMessageW(MainWindow, MSG_ASK_HOST_KEY, 0, reinterpret_cast<LPARAM>(&question)) ==
                   HOST_KEY_TRUSTED;
    refused_ = !trusted;
    if (!trusted) {
        logStatus("Host key not trusted; session refused\n");
        return false;
    }
    logStatus(question.stored ? "Host key trusted and stored\n"
                              : "Host key trusted for this session only (it cannot be stored)\n");
    return true;
}

LRESULT answerHostKeyQuestion(HostKeyQuestion& question)
{
    if (ShuttingDown || question.key == nullptr) {
        return HOST_KEY_REFUSED;
    }
    CloseRequested = false;
    LRESULT answer = HOST_KEY_REFUSED;
    switch (question.lookup.result) {
    case StoredHostKey::Unknown:
        answer = askAboutNewKey(question);
        break;
    case StoredHostKey::Changed:
        showBox(CAPTION_HOST_KEY_CHANGED,
                L"WARNING: the host key of " + where(question) + L" has changed.\n\nStored key:\n" +
                    boxFingerprint(question.lookup.storedFingerprint) + L"\nNew key:\n" +
                    boxFingerprint(hostKeyFingerprint(*question.key)) +
                    L"\n\nSomeone may be posing as the server. The session was refused; nothing was sent.\n\n" +
                    removalHint(question),
                MB_OK | MB_ICONERROR);
        break;
    default:
        showBox(CAPTION_HOST_KEY_UNREADABLE,
                L"The stored host key of " + where(question) + L" cannot be read: " +
                    widen(question.lookup.problem.c_str()) + L"\n\nThe session was refused.\n\n" +
                    removalHint(question),
                MB_OK | MB_ICONERROR);
        break;
    }
    if (CloseRequested) {
        CloseRequested = false;
        PostMessageW(MainWindow, WM_CLOSE, 0, 0);
        return HOST_KEY_REFUSED;
    }
    return answer;
}

bool deferCloseForHostKeyQuestion()
{
    if (OpenCaption == nullptr) {
        return false;
    }
    CloseRequested = true;
    EnumThreadWindows(GetCurrentThreadId(), closeOpenBox, 0);
    return true;
}

}  // namespace kestrel
