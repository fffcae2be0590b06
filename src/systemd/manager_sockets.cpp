#include "systemd/manager_sockets.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstddef>
#include <cstdlib>
#include <cstring>

namespace telvaro3::systemd {
namespace {

constexpr const char* kJournalSocket = "/run/systemd/journal/socket";

// Sends one datagram to the Unix socket at `name` ('@' first: the abstract namespace).
bool SendDatagram(const std::string& name, const std::string& data) {
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (name.size() < 2 || name.size() >= sizeof addr.sun_path) return false;
  if (name[0] != '/' && name[0] != '@') return false;
  std::memcpy(addr.sun_path, name.data(), name.size());
  if (name[0] == '@') addr.sun_path[0] = '\0';
  const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name.size() +
                                             (name[0] == '/' ? 1 : 0));
  const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  const ssize_t sent = sendto(fd, data.data(), data.size(), MSG_NOSIGNAL,
                              reinterpret_cast<const sockaddr*>(&addr), length);
  close(fd);
  return sent == static_cast<ssize_t>(data.size());
}

}  // namespace

bool NotifyServiceManager(const std::string& state) {
  const char* socket = std::getenv("NOTIFY_SOCKET");
  return socket != nullptr && SendDatagram(socket, state);
}

uint64_t WatchdogUsecFromEnvironment() {
  const char* usec = std::getenv("WATCHDOG_USEC");
  if (usec == nullptr || *usec < '0' || *usec > '9') return 0;
  char* end = nullptr;
  const unsigned long long value = std::strtoull(usec, &end, 10);
  if (*end != '\0') return 0;
  const char* pid = std::getenv("WATCHDOG_PID");
  if (pid != nullptr && std::strtoll(pid, nullptr, 10) != static_cast<long long>(getpid()))
    return 0;
  return value;
}

std::string JournalEntry(const std::vector<std::string>& fields) {
  std::string entry;
  for (const std::string& field : fields) {
    const size_t eq = field.find('=');
    if (eq == std::string::npos || eq == 0) continue;
    const std::string_view value = std::string_view(field).substr(eq + 1);
    if (value.find('\n') == std::string_view::npos) {
      entry += field;
    } else {
      entry.append(field, 0, eq);
      entry += '\n';
      for (int byte = 0; byte < 8; ++byte)
        entry += static_cast<char>((static_cast<uint64_t>(value.size()) >> (8 * byte)) & 0xFF);
      entry += value;
    }
    entry += '\n';
  }
  return entry;
}

bool SendToJournal(const std::string& entry) {
  return SendDatagram(kJournalSocket, entry);
}

}  // namespace telvaro3::systemd
