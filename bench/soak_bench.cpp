// A depot's day, compressed: one program in continuous mode (+RXON +APP, as the service runs it)
// receives N uploads from the terminal simulator, one after another, over a pseudo-terminal.
//
// It prints the program's resident memory and open descriptors after the first upload and after
// the last, the processor time per transfer, the transfers per minute, the rounds the summary
// lines report and their results, and whether every record of every upload arrived exactly once
// (with +APP the file must be all the uploads, in order). The verdict line says whether memory
// grew by at most 256 KB and the descriptors came back to their number.
//
//   soak_bench [rounds] [records]      (default 1000 rounds of 10 records)
//   bench/soak [rounds] [records]      (the same, from the source tree)

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

const std::string kProgram = TELVARO3_BINARY_DIR "/telvaro3";
const std::string kTermsim = TELVARO3_BINARY_DIR "/tools/termsim/termsim";

pid_t Spawn(const std::vector<std::string>& argv, const std::string& cwd, const std::string& out,
            const std::vector<std::string>& env) {
  const pid_t pid = fork();
  if (pid != 0) return pid;
  if (chdir(cwd.c_str()) != 0) _exit(127);
  if (!freopen(out.c_str(), "w", stdout) || !freopen("/dev/null", "r", stdin)) _exit(127);
  for (const std::string& e : env) putenv(const_cast<char*>(e.c_str()));
  unsetenv("DISPLAY");
  unsetenv("WAYLAND_DISPLAY");
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  execv(args[0], args.data());
  _exit(127);
}

std::string Slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

struct Sample {
  long rssKb = 0;
  int fds = 0;
  double cpuSeconds = 0;
  Clock::time_point at;
};

Sample Measure(pid_t pid) {
  Sample s;
  s.at = Clock::now();
  const std::string proc = "/proc/" + std::to_string(pid);
  std::istringstream status(Slurp(proc + "/status"));
  for (std::string line; std::getline(status, line);)
    if (line.starts_with("VmRSS:")) s.rssKb = std::atol(line.c_str() + 6);
  for (const auto& e : fs::directory_iterator(proc + "/fd")) {
    (void)e;
    ++s.fds;
  }
  // utime and stime, fields 14 and 15, after the command name in brackets.
  const std::string stat = Slurp(proc + "/stat");
  std::istringstream rest(stat.substr(stat.rfind(')') + 2));
  std::string field;
  long ticks = 0;
  for (int i = 3; i <= 15 && rest >> field; ++i)
    if (i >= 14) ticks += std::atol(field.c_str());
  s.cpuSeconds = static_cast<double>(ticks) / static_cast<double>(sysconf(_SC_CLK_TCK));
  return s;
}

// The records the simulator makes up: field j of record i is "i.j." repeated, cut to length.
std::string Synthetic(int count, const std::vector<int>& fields) {
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

int CountOf(const std::string& text, const std::string& what) {
  int n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

// Waits until the program has told `count` rounds, then a little longer: it is then waiting for
// the next upload with the port open, the same state at every sample. False when the simulator
// ended first.
bool WaitForRounds(const std::string& out, int count, pid_t termsim, int& termsimStatus) {
  while (CountOf(Slurp(out), "Summary: ") < count) {
    if (termsimStatus < 0 && waitpid(termsim, &termsimStatus, WNOHANG) == termsim) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::atoi(argv[1]) : 1000;
  const int records = argc > 2 ? std::atoi(argv[2]) : 10;
  if (rounds < 2 || records < 1) {
    std::fprintf(stderr, "usage: soak_bench [rounds >= 2] [records >= 1]\n");
    return 2;
  }
  char pattern[] = "/tmp/telvaro3-soak-XXXXXX";
  const std::string dir = mkdtemp(pattern);
  fs::create_directories(dir + "/cfg/telvaro3");
  fs::create_directories(dir + "/in");
  const std::vector<int> fields = {10, 5};
  const std::string upload = Synthetic(records, fields);
  const std::string received = dir + "/in/ORDERS.BHT";

  const pid_t termsim =
      Spawn({kTermsim, "--pty", "--link", dir + "/cfg/telvaro3/com1", "--timeout-s", "86400",
             "upload", "--records", std::to_string(records), "--fields", "10,5", "--name",
             "ORDERS.BHT", "--repeat", std::to_string(rounds + 1)},
            dir, dir + "/termsim.out", {});
  while (!fs::exists(dir + "/cfg/telvaro3/com1"))
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  const std::string xdg = "XDG_CONFIG_HOME=" + dir + "/cfg";
  const pid_t program =
      Spawn({kProgram, "+RXON", "+APP", "+IRD0", "IN\\"}, dir, dir + "/program.out", {xdg});

  // The first round warms the program up (its buffers, the file's lock): measured after it. The
  // simulator's one more upload keeps the line there while the last round is measured.
  const std::string programOut = dir + "/program.out";
  int status = -1;
  WaitForRounds(programOut, 1, termsim, status);
  const Sample first = Measure(program);
  const bool all = WaitForRounds(programOut, rounds, termsim, status);
  const Sample last = Measure(program);
  if (status < 0) waitpid(termsim, &status, 0);
  const int termsimStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  kill(program, SIGTERM);
  waitpid(program, &status, 0);

  std::string expected;
  for (int i = 0; i <= rounds; ++i) expected += upload;
  const bool exact = Slurp(received) == expected;
  const std::string out = Slurp(dir + "/program.out");
  const int good =
      CountOf(out, "Summary: received ORDERS.BHT: " + std::to_string(records) + " records");
  const int summaries = CountOf(out, "Summary: ");

  const double minutes = std::chrono::duration<double>(last.at - first.at).count() / 60.0;
  const int measured = rounds - 1;
  std::printf(
      "soak: %d uploads of %d records (%zu bytes each), continuous mode with +APP;\n"
      "      measured from the end of the first to the end of upload %d\n",
      rounds + 1, records, upload.size(), rounds);
  std::printf(
      "  resident memory  after the first %6ld KB   after the last %6ld KB   growth %+ld KB\n",
      first.rssKb, last.rssKb, last.rssKb - first.rssKb);
  std::printf("  open descriptors after the first %6d      after the last %6d\n", first.fds,
              last.fds);
  std::printf("  processor time   %.2f ms per transfer (%d transfers, %.2f s)\n",
              measured > 0 ? (last.cpuSeconds - first.cpuSeconds) * 1000.0 / measured : 0.0,
              measured, last.cpuSeconds - first.cpuSeconds);
  std::printf(
      "  rate             %.1f transfers per minute (the simulator pauses 300 ms between "
      "uploads)\n",
      minutes > 0 ? measured / minutes : 0.0);
  std::printf("  summaries        %d lines, %d of them Err(0) with every record\n", summaries,
              good);
  std::printf("  records          %s (file %zu bytes, expected %zu; simulator status %d)\n",
              exact ? "every record of every upload exactly once, in order" : "LOST OR DOUBLED",
              Slurp(received).size(), expected.size(), termsimStatus);
  const bool ok = all && exact && good == rounds + 1 && last.rssKb - first.rssKb <= 256 &&
                  last.fds == first.fds;
  std::printf("soak: %s\n",
              ok ? "PASS (memory growth <= 256 KB, same descriptors, exactly once)" : "FAIL");
  fs::remove_all(dir);
  return ok ? 0 : 1;
}
