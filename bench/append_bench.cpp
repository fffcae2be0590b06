// What the size of the file that a reception appends to costs: the real program receives a small
// upload from the simulator (unpaced) with +APP into a file of 0 bytes, 1 MB and 10 MB, several
// times each, and prints the median time from the last record to the program's end (the close
// of the link, and putting the records in place), and the difference to the empty file.
//
//   append_bench [rounds] [program] [simulator]     (default 9 rounds, the built ones)

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "spawn.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

std::string Slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

// Seconds from the last record to the program's end, or -1 when the reception failed.
double OneReception(const std::string& dir, const std::string& program, const std::string& sim,
                    size_t targetBytes) {
  fs::remove_all(dir + "/IN");
  fs::create_directories(dir + "/IN");
  fs::create_directories(dir + "/cfg/telvaro3");
  {
    std::ofstream target(dir + "/IN/ORDERS.BHT", std::ios::binary);
    const std::string line = "0123456789\r\n";
    for (size_t n = 0; n + line.size() <= targetBytes; n += line.size()) target << line;
  }
  // On the disk before the program starts, or its flush of the file would count the bench's
  // own writing.
  const int written = open((dir + "/IN/ORDERS.BHT").c_str(), O_RDONLY);
  fsync(written);
  close(written);
  const std::string link = dir + "/cfg/telvaro3/com1";
  fs::remove(link);
  const pid_t term = Spawn({sim, "--pty", "--link", link, "upload", "--records", "50", "--fields",
                            "10", "--name", "ORDERS.BHT", "--timeout-s", "30"},
                           dir, -1, dir + "/cfg");
  for (int i = 0; i < 1000 && !fs::exists(fs::symlink_status(link)); ++i) usleep(1000);
  const std::string out = dir + "/program.out";
  fs::remove(out);  // the last round's lines must not be taken for this one's
  const int outFd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  const pid_t prog = Spawn({program, "+APP", "+DDE", "IN\\"}, dir, outFd, dir + "/cfg");
  close(outFd);
  Clock::time_point closing{};
  int status = 0;
  for (;;) {
    if (waitpid(prog, &status, WNOHANG) == prog) break;
    if (closing == Clock::time_point{} && Slurp(out).find("Closing Link") != std::string::npos)
      closing = Clock::now();
    std::this_thread::sleep_for(std::chrono::microseconds(500));
  }
  const auto end = Clock::now();
  kill(term, SIGKILL);
  waitpid(term, nullptr, 0);
  if (Slurp(out).find("MsgLabel: Err(0)") == std::string::npos) return -1;
  return std::chrono::duration<double>(end - closing).count();
}

}  // namespace

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::max(1, atoi(argv[1])) : 9;
  const std::string program = argc > 2 ? argv[2] : TELVARO3_BINARY_DIR "/telvaro3";
  const std::string sim = argc > 3 ? argv[3] : TELVARO3_BINARY_DIR "/tools/termsim/termsim";
  char tmpl[] = "/tmp/append-bench-XXXXXX";
  if (mkdtemp(tmpl) == nullptr) return 1;
  const std::string dir = tmpl;
  std::printf("%-10s %10s %12s  (median of %d receptions of 50 records with +APP)\n", "target",
              "ms", "vs empty", rounds);
  double empty = 0;
  for (size_t bytes : {size_t{0}, size_t{1} << 20, size_t{10} << 20}) {
    std::vector<double> times;
    for (int r = 0; r < rounds; ++r) {
      const double t = OneReception(dir, program, sim, bytes);
      if (t >= 0) times.push_back(t * 1000);
    }
    if (times.empty()) {
      std::printf("%-10zu %10s\n", bytes, "failed");
      continue;
    }
    std::sort(times.begin(), times.end());
    const double median = times[times.size() / 2];
    if (bytes == 0) empty = median;
    std::printf("%-10zu %10.1f %+12.1f\n", bytes, median, median - empty);
  }
  fs::remove_all(dir);
  return 0;
}
