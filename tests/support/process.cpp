#include "support/process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>
#include <thread>

namespace telvaro3::test {

Process::Process(const std::vector<std::string>& argv, const ProcessOptions& o) {
  pid_ = ::fork();
  if (pid_ != 0) return;
  // Child.
  if (!o.cwd.empty() && ::chdir(o.cwd.c_str()) != 0) ::_exit(126);
  for (const auto& [k, v] : o.env) {
    if (v.empty())
      ::unsetenv(k.c_str());
    else
      ::setenv(k.c_str(), v.c_str(), 1);
  }
  int in = ::open(o.stdinPath.c_str(), O_RDONLY);
  int out = ::open(o.stdoutPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  int err = ::open(o.stderrPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (in < 0 || out < 0 || err < 0) ::_exit(126);
  ::dup2(in, 0);
  ::dup2(out, 1);
  ::dup2(err, 2);
  ::setpgid(0, 0);
  if (o.fileSizeLimit >= 0) {
    ::signal(SIGXFSZ, SIG_IGN);
    const struct rlimit limit = {static_cast<rlim_t>(o.fileSizeLimit),
                                 static_cast<rlim_t>(o.fileSizeLimit)};
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
  if (done_) return true;
  const auto until = std::chrono::steady_clock::now() +
                     std::chrono::milliseconds(static_cast<int64_t>(timeoutSeconds * 1000));
  for (;;) {
    int status = 0;
    pid_t r = ::waitpid(pid_, &status, WNOHANG);
    if (r == pid_) {
      done_ = true;
      exitCode_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      return true;
    }
    if (std::chrono::steady_clock::now() >= until) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
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
  std::vector<std::string> w;
  std::istringstream in(line);
  for (std::string t; in >> t;) w.push_back(t);
  return w;
}

std::unique_ptr<Process> StartProgram(const std::string& line, const std::string& cwd,
                                      const std::string& configHome, const std::string& outPath,
                                      ProcessOptions o, const std::vector<std::string>& prefix) {
  std::vector<std::string> argv = prefix;
  argv.push_back(TELVARO3_BINARY_DIR "/telvaro3");
  for (auto& w : Words(line)) argv.push_back(w);
  o.cwd = cwd;
  for (const char* unset : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
    o.env.emplace(unset, "");
  o.env["XDG_CONFIG_HOME"] = configHome;
  o.stdoutPath = outPath;
  return std::make_unique<Process>(argv, o);
}

std::string Slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

bool WaitForPath(const std::string& path, double timeoutSeconds) {
  const auto until = std::chrono::steady_clock::now() +
                     std::chrono::milliseconds(static_cast<int64_t>(timeoutSeconds * 1000));
  struct stat st {};
  while (::lstat(path.c_str(), &st) != 0) {
    if (std::chrono::steady_clock::now() >= until) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

std::string LastLine(const std::string& output, const std::string& prefix) {
  std::string found;
  std::istringstream in(output);
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.rfind(prefix, 0) == 0) found = line.substr(prefix.size());
  }
  return found;
}

}  // namespace telvaro3::test
