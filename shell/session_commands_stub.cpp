// Stand-ins until the connection flow and the settings dialogs exist: the
// commands do nothing.
#include "shell/session_commands.h"

namespace kestrel {

void connectCommand() {}
void disconnectCommand() {}
void handleSessionEnded() {}
void openFontDialog() {}
void openTerminalSettingsDialog() {}
void reportWindowSize() {}

}  // namespace kestrel
