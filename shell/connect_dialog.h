// The Connect dialog (104): server list, port, user name and password.
#pragma once

namespace kestrel {

// Runs the dialog modally over MainWindow. True after OK, which has filled
// HostName, PortText, UserName and Password and stored the list, the user
// name and the port; false after Cancel (the list is stored all the same).
bool runConnectDialog();

} // namespace kestrel
