#include "shell/host_key_store.h"

#include <vector>

#include "engine/settings_schema.h"
#include "shell/settings_store.h"

namespace kestrel {

namespace {

std::wstring subkeyPath()
{
    return widen(settings::KEY_PATH) + L"\\" + widen(HOST_KEYS_SUBKEY);
}

std::string errorText(LSTATUS status)
{
    return "registry error " + std::to_string(static_cast<long>(status));
}

}  // namespace

std::wstring hostKeyValueName(const std::string& host, uint16_t port)
{
    return widen(host.c_str()) + L":" + std::to_wstring(port);
}

HostKeyLookup lookUpHostKey(const std::string& host, uint16_t port, const RsaPublicKey& key)
{
    HostKeyLookup lookup;
    HKEY keys = nullptr;
    LSTATUS opened = RegOpenKeyExW(HKEY_CURRENT_USER, subkeyPath().c_str(), 0, KEY_QUERY_VALUE, &keys);
    if (opened == ERROR_FILE_NOT_FOUND) {
        return lookup;
    }
    if (opened != ERROR_SUCCESS) {
        lookup.result = StoredHostKey::Unreadable;
        lookup.problem = "The known host keys cannot be opened (" + errorText(opened) + ").";
        return lookup;
    }
    // Room for the longest text a key can have, and one more character so
    // that a longer one shows as too long rather than cut.
    std::vector<wchar_t> text(HOST_KEY_TEXT_LIMIT + 2, L'\0');
    DWORD type = 0;
    auto size = static_cast<DWORD>((text.size() - 1) * sizeof(wchar_t));
    LSTATUS read = RegQueryValueExW(keys, hostKeyValueName(host, port).c_str(), nullptr, &type,
                                    reinterpret_cast<BYTE*>(text.data()), &size);
    RegCloseKey(keys);
    if (read == ERROR_FILE_NOT_FOUND) {
        return lookup;
    }
    std::string stored = read == ERROR_SUCCESS && type == REG_SZ ? narrow(text.data()) : std::string();
    RsaPublicKey onRecord;
    if (read != ERROR_SUCCESS || type != REG_SZ || !readStoredKey(stored, onRecord)) {
        lookup.result = StoredHostKey::Unreadable;
        lookup.problem = read == ERROR_MORE_DATA ? "The stored key is too long."
                         : read != ERROR_SUCCESS ? "The stored key cannot be read (" + errorText(read) + ")."
                                                 : "The stored key is not a key.";
        return lookup;
    }
    bool same = mpz_cmp(onRecord.modulus, key.modulus) == 0 && mpz_cmp(onRecord.exponent, key.exponent) == 0;
    lookup.result = same ? StoredHostKey::Matches : StoredHostKey::Changed;
    if (!same) {
        lookup.storedFingerprint = hostKeyFingerprint(onRecord);
    }
    return lookup;
}

bool storeHostKey(const std::string& host, uint16_t port, const RsaPublicKey& key)
{
    HKEY keys = nullptr;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, subkeyPath().c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr, &keys,
                        nullptr) != ERROR_SUCCESS) {
        return false;
    }
    std::wstring text = widen(hostKeyText(key).c_str());
    auto bytes = static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t));
    LSTATUS written = RegSetValueExW(keys, hostKeyValueName(host, port).c_str(), 0, REG_SZ,
                                     reinterpret_cast<const BYTE*>(text.c_str()), bytes);
    RegCloseKey(keys);
    return written == ERROR_SUCCESS;
}

}  // namespace kestrel
