// Whether a display can be opened, asked before the Qt application object exists: Qt ends the
// process when it cannot reach its display, so a stale or unreachable one must leave the text
// view instead. No Qt here, only sockets and, for X, the library Qt's platform plugin uses.
#pragma once

#include <string>

namespace telvaro3::ui {

// True when the Qt window can be had: an explicit platform choice (QT_QPA_PLATFORM) is followed;
// a Wayland display must answer on its socket; an X display must answer on its socket (a remote
// one, host:N as SSH forwards it, on TCP port 6000+N within a few seconds) and accept the
// program as a client. False for no display, or one that does not answer.
bool DisplayAvailable();

// True when the Unix socket at path (a leading '@' naming an abstract one) accepts a connection.
bool SocketAnswers(const std::string& path);

// True when host accepts a TCP connection on port within a few seconds.
bool TcpAnswers(const std::string& host, int port);

// True when the X server of display accepts this program as a client (authorisation included)
// within a few seconds. False too when the X client library is missing: Qt could not use the
// display without it either.
bool XServerAccepts(const std::string& display);

}  // namespace telvaro3::ui
