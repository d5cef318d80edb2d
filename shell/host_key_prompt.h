// The host-key check of Kestrel1.exe. The worker looks the key up and, unless
// it is the stored one, asks the main window with MSG_ASK_HOST_KEY (sent, so
// the worker waits for the answer); the user-interface thread shows the box,
// stores a newly trusted key and answers. Every decision is also a status
// line in the terminal.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

#include "engine/session_host.h"
#include "shell/host_key_store.h"

namespace kestrel {

// lParam: the HostKeyQuestion; the result is HOST_KEY_TRUSTED or
// HOST_KEY_REFUSED.
inline constexpr UINT MSG_ASK_HOST_KEY = WM_USER + 507;
inline constexpr LRESULT HOST_KEY_REFUSED = 0;
inline constexpr LRESULT HOST_KEY_TRUSTED = 1;

inline constexpr wchar_t CAPTION_UNKNOWN_HOST_KEY[] = L"Unknown Host Key";
inline constexpr wchar_t CAPTION_HOST_KEY_CHANGED[] = L"Host Key Changed";
inline constexpr wchar_t CAPTION_HOST_KEY_UNREADABLE[] = L"Host Key Unreadable";
inline constexpr wchar_t CAPTION_HOST_KEY_NOT_STORED[] = L"Host Key Not Stored";

struct HostKeyQuestion {
    std::string host;
    uint16_t port = 0;
    const RsaPublicKey* key = nullptr;
    HostKeyLookup lookup;
    bool stored = false;  // answer: the trusted key went into the registry
};

// The session's answers: fixed login fields, and the host-key check above.
class ShellSessionHost : public FixedSessionHost {
public:
    ShellSessionHost(std::string user, const std::string& password, bool vt52, TerminalGeometry size)
        : FixedSessionHost(std::move(user), password, vt52, size) {}
    // Set before the worker starts.
    void setServer(const std::string& host, uint16_t port) { host_ = host, port_ = port; }

    bool acceptHostKey(const RsaPublicKey& key) override;
    // Read once the worker has reported its end.
    bool hostKeyRefused() const { return refused_; }

private:
    std::string host_;
    uint16_t port_ = 0;
    bool refused_ = false;
};

// MSG_ASK_HOST_KEY on the user-interface thread.
LRESULT answerHostKeyQuestion(HostKeyQuestion& question);
// WM_CLOSE: when a question is open, it ends as "no" and the close is done
// once its box has gone; true when the close was put off so.
bool deferCloseForHostKeyQuestion();

}  // namespace kestrel
