// The commands of the connection flow and the settings dialogs, called by the
// main window's dispatch. Kept behind this header so that the window and the
// view build and run before (and without) the connection flow.
#pragma once

namespace kestrel {

// "Connect" while disconnected: the Connect dialog, then the connection.
void connectCommand();
// "Disconnect", and MainWindow's destruction: ends the session, if any.
void disconnectCommand();
// MSG_SESSION_ENDED from the session worker.
void handleSessionEnded();
// "Fonts..." and the context menu's "Font...".
void openFontDialog();
// "Preferences".
void openTerminalSettingsDialog();
// After a re-layout: tells the server the new window size, when connected.
void reportWindowSize();

}  // namespace kestrel
