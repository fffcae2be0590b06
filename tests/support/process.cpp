#include "support/process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <iterator>
#include <random>
#include <sstream>
#include <thread>

namespace telvaro3::test {

bool PollUntil(double timeoutSeconds, const std::function<bool()>& done) {
  const auto until =
      std::chrono::steady_clock::now() + std::chrono::duration<double>(timeoutSeconds);
  while (!done()) {
    if (std::chrono::steady_clock::now() >= until) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

Process::Process(const std::vector<std::string>& argv, const ProcessOptions& o) {
  pid_ = ::fork();
  if (pid_ != 0) return;
  if (!o.cwd.empty() && ::chdir(o.cwd.c_str()) != 0) ::_exit(126);
  for (const auto& [k, v] : o.env)
    v.empty() ? ::unsetenv(k.c_str()) : ::setenv(k.c_str(), v.c_str(), 1);
  const int fds[3] = {::open(o.stdinPath.c_str(), O_RDONLY),
                      ::open(o.stdoutPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644),
                      ::open(o.stderrPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644)};
  for (int i = 0; i < 3; ++i)
    if (fds[i] < 0 || ::dup2(fds[i], i) < 0) ::_exit(126);
  ::setpgid(0, 0);
  // Whatever started the tests (nohup, a script's background job) may have left these ignored,
  // and an ignored stop signal stays ignored in the program: the tests send them on purpose.
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) ::signal(sig, SIG_DFL);
  if (o.fileSizeLimit >= 0) {
    ::signal(SIGXFSZ, SIG_IGN);
    const rlim_t n = static_cast<rlim_t>(o.fileSizeLimit);
    const struct rlimit limit = {n, n};
    ::setrlimit(RLIMIT_FSIZE, &limit);
  }
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  ::execv(args[0], args.data());
  ::_exit(127);
}

Process::~Process() {
  if (pid_ > 0 && !done_) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
}

bool Process::Wait(double timeoutSeconds) {
  return done_ || PollUntil(timeoutSeconds, [this] {
           int status = 0;
           if (::waitpid(pid_, &status, WNOHANG) != pid_) return false;
           done_ = true;
           exitCode_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
           return true;
         });
}

void Process::Signal(int sig) {
  if (pid_ > 0 && !done_) ::kill(pid_, sig);
}

TempDir::TempDir() {
  std::string tmpl = (std::filesystem::temp_directory_path() / "telvaro3-test-XXXXXX").string();
  if (::mkdtemp(tmpl.data()) == nullptr) std::abort();
  path = tmpl;
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path, ec);
}

void TempDir::Write(const std::string& name, const std::string& bytes) const {
  std::filesystem::create_directories((path / name).parent_path());
  std::ofstream(path / name, std::ios::binary) << bytes;
}

std::string RandomBytes(size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  std::string s(n, '\0');
  for (auto& c : s) c = static_cast<char>(rng());
  return s;
}

std::vector<std::string> Words(const std::string& line) {
  std::istringstream in(line);
  return {std::istream_iterator<std::string>(in), {}};
}

ProcessOptions Unattended(ProcessOptions o) {
  // A test run as a service (CI) must not lend the program its service manager or journal.
  for (const char* unset : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM", "NOTIFY_SOCKET",
                            "WATCHDOG_USEC", "WATCHDOG_PID", "JOURNAL_STREAM"})
    o.env.emplace(unset, "");
  return o;
}

std::string SyntheticRecords(int count, const std::vector<int>& fields) {
  std::string file;
  for (int i = 1; i <= count; ++i, file += "\r\n") {
    for (size_t j = 0; j < fields.size(); ++j) {
      std::string unit = std::to_string(i) + "." + std::to_string(j + 1) + ".", field;
      while (field.size() < static_cast<size_t>(fields[j])) field += unit;
      file += field.substr(0, fields[j]);
    }
  }
  return file;
}

std::string Slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();  // a directory reads as empty
  return ss.str();
}

std::string LastLine(const std::string& output, const std::string& prefix) {
  std::string found;
  std::istringstream in(output);
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.starts_with(prefix)) found = line.substr(prefix.size());
  }
  return found;
}

std::vector<std::string> NamesIn(const std::string& dir) {
  std::vector<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(dir))
    names.push_back(e.path().filename());
  std::sort(names.begin(), names.end());
  return names;
}

size_t Occurrences(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

}  // namespace telvaro3::test
