// The two datagram sockets through which a service talks to systemd: the service manager's
// notification socket (readiness, watchdog pings, status) and the journal's native socket (one
// entry with fields of its own). Both protocols are plain and documented as stable, so the
// program speaks them itself instead of loading a library, and its every start (a cron job, a
// round of the service) stays as light as the transfer it runs.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace telvaro3::systemd {

// Sends `state` ("READY=1", "WATCHDOG=1", "STATUS=...") to the socket NOTIFY_SOCKET names: a
// file system path, or an abstract one when it begins with '@'. Returns false, having sent
// nothing, when the variable is unset or names no reachable socket, as outside systemd.
bool NotifyServiceManager(const std::string& state);

// Returns WATCHDOG_USEC when the watchdog is meant for this process (WATCHDOG_PID unset or this
// process's id), else 0: no watchdog, or one inherited from a parent that was watched.
uint64_t WatchdogUsecFromEnvironment();

// Returns one journal entry in the native protocol for `fields`, each "NAME=value": a value
// without a line end as it is, followed by '\n'; one with a line end as "NAME\n", its length as
// 8 bytes little-endian, the value and '\n'. A field without '=' is left out.
std::string JournalEntry(const std::vector<std::string>& fields);

// Sends an entry to the journal's socket; false when there is no journal to take it.
bool SendToJournal(const std::string& entry);

}  // namespace telvaro3::systemd
