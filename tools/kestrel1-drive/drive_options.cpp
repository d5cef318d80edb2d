#include "tools/kestrel1-drive/drive_options.h"

#include "shell/resource_ids.h"

namespace kestrel::drive {

const char* const USAGE = R"(usage: kestrel1-drive --host HOST --user USER [options]
Runs Kestrel1's real main window and works it as a user would: the Connect
dialog, the Tools items, Terminal Settings, typed keys and Disconnect.

  --host HOST            server name or dotted address (typed into the dialog)
  --port N               TCP port (default 22)
  --user NAME            user name
  --password-file FILE   first line of FILE is the password; otherwise the
                         environment variable KESTREL_PASSWORD
  --cipher C             3des, blowfish or none, chosen in the Tools menu
  --vt52                 VT-52 instead of VT-100 (chosen in Terminal Settings
                         when the stored type differs)
  --send TEXT            type TEXT once the shell runs (\n \r \t \e \\ escapes);
                         repeatable, in order with --wait-for
  --wait-for TEXT        wait until the server's output shows TEXT
  --timeout SECONDS      give up after this long (default 30)
  --accept-new-host-key  answer Yes in the "Unknown Host Key" box (otherwise
                         No); a changed key is always refused
  --stored-host-key TEXT the key on record for the server before connecting,
                         as the registry holds it ("bits exponent modulus")
  --disconnect           choose Disconnect after the script instead of
                         waiting for the server to end the session
  --screenshot FILE.bmp  save the terminal area as painted, at the end
  --dialog-pictures DIR  save the Font, Terminal Settings and (filled in)
                         Connect dialogs as DIR/font.bmp, terminal-settings.bmp
                         and connect.bmp on the way to the session, and a
                         host-key box as DIR/host-key.bmp
                         (copied from the screen: needs a display)

Each run keeps its settings and known host keys under a registry key of its
own, removed at the end: every run meets the server for the first time.

Prints the final screen (vtreplay's format) and the message boxes shown.
exit status: 0 session ran and ended, 2 usage, 3 connect failed,
4 login refused, 5 protocol failure, 6 timed out, 253 host key refused
)";

namespace {

uint32_t cipherCommandFor(uint32_t cipher) {
    switch (cipher) {
    case 3: return IDM_CIPHER_3DES;
    case 6: return IDM_CIPHER_BLOWFISH;
    default: return IDM_CIPHER_NONE;
    }
}

bool ownOption(const std::string& arg, const char* value, Options& options) {
    if (arg == "--screenshot")
        options.screenshot = value;
    else if (arg == "--dialog-pictures")
        options.dialogPictures = value;
    else if (arg == "--stored-host-key")
        options.storedHostKey = value;
    else
        return false;
    return true;
}

} // namespace

bool parseOptions(int argc, char** argv, Options& options, std::string& error) {
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--help") {
            error.clear();
            return false;
        }
        if (arg == "--vt52" || arg == "--disconnect" || arg == "--accept-new-host-key") {
            (arg == "--vt52" ? options.vt52 : arg == "--disconnect" ? options.disconnect : options.acceptNewHostKey) =
                true;
            continue;
        }
        if (i + 1 == argc) {
            error = "missing value for " + arg;
            return false;
        }
        const char* value = argv[++i];
        tools::OptionResult result = tools::takeCommonOption(arg, value, options);
        if (result == tools::OptionResult::Bad ||
            (result == tools::OptionResult::NotMine && !ownOption(arg, value, options))) {
            error = "bad option or value: " + arg + " " + value;
            return false;
        }
    }
    if (options.cipherGiven)
        options.cipherCommand = cipherCommandFor(options.cipher);
    return tools::finishCommonOptions(options, error);
}

} // namespace kestrel::drive
