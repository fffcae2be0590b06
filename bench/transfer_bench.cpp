// Block-protocol throughput and processor use of the real program over a pseudo-terminal,
// against the terminal simulator pacing the line at a given baud rate.
//
// For each rate it sends and receives a file and prints the transfer time (from
// the link being made to the result), the stop-and-wait limit of the line (every block and its
// one-character answer at 10 bits a character, plus the send delay before each write), their
// ratio, and the program's processor time as a share of its wall time. From the simulator's
// turn log it adds the median and the 99th percentile of two latencies, in milliseconds on the
// line: "answer", from the last character of a block to the start of its answer (the PC's when
// it receives, the terminal's when it sends; the PC's includes the 5 ms send delay), and "next",
// from the end of that answer to the start of the next block (the other side's reaction; the
// PC's again includes the send delay). "wakes/blk" is the program's voluntary context switches
// per record (its sleeps and waits that ended), "preempt" its involuntary ones per record (on a
// pseudo-terminal every write wakes the kernel worker that carries the bytes to the other side,
// which often takes the processor from the writer). "us/blk" is its processor time per record
// over the transfer, from the link being made to the result (for a reception that includes
// putting the file in place), read from the process's processor clock as each of the two lines
// comes; "life/blk" is the processor time of its whole life per record, which adds what does not
// grow with the file: starting the process, waiting for the terminal's call, ending.
// Then it measures the processor share of the same transfers against a terminal that answers at
// once (the simulator without pacing) at 9600, 19200 and 115200 baud, and of a 30-second wait on a
// silent line.
//
// Processor time on a virtual machine depends on the host as much as on the program: "probe us"
// is what a bare timed wake-up of the benchmark itself cost while the program ran, so that a row
// measured on a busy host can be told from a slower program.
//
// Beside each run of the program a bare dialogue (bare_dialogue.h) runs against a simulator of
// its own, marked "/bare": the same dialogue with the program's waits and nothing else, the floor
// of the processor figures on this machine in the same run. Its us/blk is taken from its first
// answer to its last; it is forked, not started, so its life/blk has no program start in it.
//
// The rows: N records of 20 characters at 19200 and 115200 baud, and ten records of 100
// characters at 300 baud, where one block is longer on the line than the 3-second answer wait.
//
// The processor time of a run on a shared virtual machine follows the host: run one after the
// other, the program and the bare dialogue gave ratios from 0.3 to 3.7 for the same binary. So
// each pair runs side by side, the program and the bare dialogue at the same time against a
// simulator each, and both meet the host as it was over the same seconds; their ratio then
// varies by a tenth at most. "--repeat N" runs each paced row N times, and after the per-run
// lines prints a table of medians over the pairs that succeeded: the program's and the bare
// dialogue's us/blk, the ratio program/bare taken within each pair (median, min and max), the
// same ratio of life/blk, and both line ratios. The bench prints figures; it never fails on them.
// "--repeat N" runs the rows with a terminal that answers at once N times too, with a table of
// their medians; the silent line runs once.
//
// TELVARO3_BENCH_PROGRAM names another program binary to measure in place of this build's, for
// comparing two versions with the same benchmark, simulator and bare dialogue; "bare" names the
// bare dialogue itself, for the ratios the benchmark gives two equal sides.
//
//   transfer_bench [--repeat N] [records [baud ...]]   (records default 2000, N default 1;
//                                                       bauds pick the rows)

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "bare_dialogue.h"
#include "spawn.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

const std::string kTermsim = TELVARO3_BINARY_DIR "/tools/termsim/termsim";

// The program measured: this build's, or another build's named in TELVARO3_BENCH_PROGRAM, so
// that two versions can be compared with the same benchmark, simulator and bare dialogue.
// TELVARO3_BENCH_PROGRAM=bare puts the bare dialogue in the program's place in the paced rows:
// the ratios then show what the benchmark itself gives to two equal sides.
const std::string kBareAsProgram = "bare";
std::string ProgramPath() {
  const char* other = getenv("TELVARO3_BENCH_PROGRAM");
  return other != nullptr && *other != '\0' ? other : TELVARO3_BINARY_DIR "/telvaro3";
}

struct Run {
  double wall = 0;         // the program's whole life
  double transfer = 0;     // from the link being made to the result
  double cpu = 0;          // the program's user and system time over its whole life
  double transferCpu = 0;  // of it, what the transfer took: from the link being made to the result
  long wakes = 0;          // its voluntary context switches
  long preempted = 0;      // its involuntary ones
  double probeUs = 0;      // what a bare wake-up cost meanwhile (see WakeProbe)
  std::string result;
};

// User and system time together, in seconds.
double CpuSeconds(const struct rusage& ru) {
  return static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
         static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

// The processor time a clock of clock_getcpuclockid has counted, in seconds.
double CpuClockSeconds(clockid_t clock) {
  timespec t{};
  if (clock_gettime(clock, &t) != 0) return 0;
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

double ThreadCpuSeconds() {
  struct rusage ru {};
  getrusage(RUSAGE_THREAD, &ru);
  return CpuSeconds(ru);
}

// Processor microseconds that one timed sleep of 2.5 ms costs when it ends, with the timer slack
// the program uses on an open port, measured on a thread of its own while something else runs:
// on a virtual machine what a wake-up costs follows the host's load, so this is the yardstick
// for the program's figures taken over the same seconds.
class WakeProbe {
 public:
  WakeProbe()
      : thread_([this] {
          prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
          const double before = ThreadCpuSeconds();
          long wakes = 0;
          while (!stop_.load()) {
            const timespec t{0, 2500000};
            clock_nanosleep(CLOCK_MONOTONIC, 0, &t, nullptr);
            ++wakes;
          }
          usPerWake_ =
              wakes > 0 ? (ThreadCpuSeconds() - before) * 1e6 / static_cast<double>(wakes) : 0;
        }) {}
  ~WakeProbe() { Stop(); }
  double Stop() {
    stop_.store(true);
    if (thread_.joinable()) thread_.join();
    return usPerWake_;
  }

 private:
  std::atomic<bool> stop_{false};
  double usPerWake_ = 0;
  std::thread thread_;
};

// Waits for a measured child and fills in its life, processor time and switches, and what the
// probe saw meanwhile; returns its exit status, -1 when it did not exit.
int Reaped(pid_t pid, Clock::time_point start, WakeProbe& probe, Run& run) {
  int status = 0;
  struct rusage ru {};
  wait4(pid, &status, 0, &ru);
  run.probeUs = probe.Stop();
  run.wall = std::chrono::duration<double>(Clock::now() - start).count();
  run.cpu = CpuSeconds(ru);
  run.wakes = ru.ru_nvcsw;
  run.preempted = ru.ru_nivcsw;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Runs argv with stdout on a pipe, stamping the lines as they come: the link line and the result
// line ("MsgLabel: Err..."), and the process's processor time at each.
Run RunProcess(const std::vector<std::string>& argv, const std::string& cwd,
               const std::string& config, const std::string& linkLine) {
  int fds[2];
  if (pipe(fds) != 0) std::abort();
  const auto start = Clock::now();
  pid_t pid = Spawn(argv, cwd, fds[1], config);
  close(fds[1]);
  clockid_t cpuClock{};
  const bool clocked = clock_getcpuclockid(pid, &cpuClock) == 0;
  WakeProbe probe;
  Run run;
  Clock::time_point linked{}, done{};
  double cpuAtLink = 0, cpuAtDone = 0;
  std::string buffer;
  char chunk[4096];
  for (ssize_t n; (n = read(fds[0], chunk, sizeof chunk)) > 0;) {
    const auto now = Clock::now();
    buffer.append(chunk, static_cast<size_t>(n));
    for (size_t nl; (nl = buffer.find('\n')) != std::string::npos; buffer.erase(0, nl + 1)) {
      std::string line = buffer.substr(0, nl);
      if (line == linkLine && linked == Clock::time_point{}) {
        linked = now;
        cpuAtLink = clocked ? CpuClockSeconds(cpuClock) : 0;
      }
      if (line.rfind("MsgLabel: Err", 0) == 0 || line.rfind("MsgLabel: Error", 0) == 0) {
        done = now;
        cpuAtDone = clocked ? CpuClockSeconds(cpuClock) : 0;
        run.result = line.substr(10);
      }
    }
  }
  close(fds[0]);
  Reaped(pid, start, probe, run);
  if (linked != Clock::time_point{} && done != Clock::time_point{}) {
    run.transfer = std::chrono::duration<double>(done - linked).count();
    run.transferCpu = cpuAtDone - cpuAtLink;
  }
  return run;
}

// Runs the program (ProgramPath) with args; see RunProcess.
Run RunProgram(const std::vector<std::string>& args, const std::string& cwd,
               const std::string& config, const std::string& linkLine) {
  std::vector<std::string> argv = {ProgramPath()};
  argv.insert(argv.end(), args.begin(), args.end());
  return RunProcess(argv, cwd, config, linkLine);
}

pid_t StartTerminal(const std::vector<std::string>& args, const std::string& cwd,
                    const std::string& config) {
  const std::string link = config + "/telvaro3/com1";
  std::vector<std::string> argv = {kTermsim, "--pty", "--link", link};
  argv.insert(argv.end(), args.begin(), args.end());
  pid_t pid = Spawn(argv, cwd, -1, config);
  struct stat st {};
  for (int i = 0; i < 500 && lstat(link.c_str(), &st) != 0; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  return pid;
}

void Reap(pid_t pid) {
  for (int i = 0; i < 500; ++i) {
    if (waitpid(pid, nullptr, WNOHANG) == pid) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
}

// Seconds the line needs for the dialogue when every block waits for its answer.
double StopAndWaitLimit(int records, int recordLength, int fields, int baud, bool receiving) {
  const double perChar = 10.0 / baud;
  const double delay = 0.005;  // the default send delay before every write of the PC
  const int block = 1 + 5 + recordLength + 1 + 1;       // STX, serial, record, ETX, block check
  const int heading = 1 + 17 + 2 + 2 * fields + 1 + 1;  // SOH, name, count, fields, ETX, check
  double t = (heading + 1) * perChar + delay;           // heading and its answer
  t += records * ((block + 1) * perChar + delay);       // text blocks and their answers
  t += 2 * perChar + delay;                             // EOT and its answer
  if (receiving) t += 0.020;                            // the pause before the last ACK
  return t;
}

// Median and 99th percentile of a side's turns after the other side sent `answered` characters
// (1: an answer) or more (a block), as "p50/p99" in milliseconds.
std::string Latency(const std::string& turnLog, const std::string& side, bool afterBlock) {
  std::ifstream in(turnLog);
  std::vector<double> gaps;
  std::string who;
  double gap = 0;
  size_t answered = 0;
  while (in >> who >> gap >> answered) {
    if (who == side && (answered > 1) == afterBlock) gaps.push_back(gap);
  }
  if (gaps.empty()) return "-";
  std::sort(gaps.begin(), gaps.end());
  auto at = [&gaps](double q) {
    return gaps[std::min(gaps.size() - 1,
                         static_cast<size_t>(q * static_cast<double>(gaps.size())))];
  };
  char out[48];
  std::snprintf(out, sizeof out, "%.2f/%.2f", at(0.5), at(0.99));
  return out;
}

struct Row {
  int baud;
  int records;
  std::vector<int> fields;  // field lengths; the record length is their sum
};

int RecordLength(const Row& row) {
  int length = 0;
  for (int f : row.fields) length += f;
  return length;
}

// What one paced transfer gives for the medians: lineRatio 0 when it failed.
struct Paced {
  double usPerBlock = 0;
  double lifeUsPerBlock = 0;
  double lineRatio = 0;
};

std::string Join(const std::vector<int>& fields) {
  std::string out;
  for (int f : fields) out += (out.empty() ? "" : ",") + std::to_string(f);
  return out;
}

std::string Record(int i, int recordLength) {
  char item[64];
  std::snprintf(item, sizeof item, "ITEM%06d QTY%05d", i, i % 997);
  std::string line;
  while (static_cast<int>(line.size()) < recordLength) line += item;
  return line.substr(0, static_cast<size_t>(recordLength));
}

void WriteRecords(const std::string& path, int records, int recordLength) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  for (int i = 1; i <= records; ++i) out << Record(i, recordLength) << "\r\n";
}

std::string Digits(int n, int width) {
  std::string s = std::string(static_cast<size_t>(width), '0') + std::to_string(n);
  return s.substr(s.size() - static_cast<size_t>(width));
}

// The bare dialogue (see bare_dialogue.h), run as "transfer_bench --bare-dialogue LINK BAUD
// send|receive RECORDS FIELDS": a process started like the program, which prints the program's
// link line when the link is made and a result line at the end, so that RunProcess measures it
// as it measures the program.
int BareDialogueMain(char** argv) {
  const std::string link = argv[2];
  const int baud = std::atoi(argv[3]);
  const bool receiving = std::string(argv[4]) == "receive";
  Row row{baud, std::atoi(argv[5]), {}};
  for (const char* f = argv[6]; *f != '\0'; f += *f == ',' ? 1 : 0) {
    char* end = nullptr;
    row.fields.push_back(static_cast<int>(std::strtol(f, &end, 10)));
    if (end == f) return 2;
    f = end;
  }
  const int recordLength = RecordLength(row);
  bench::BareDialogue dialogue(
      link, baud,
      [receiving] {
        std::printf("%s\n", receiving ? "StatusBox: Receive Header" : "StatusBox: Sending Header");
        std::fflush(stdout);
      },
      [](bool ok) {
        std::printf("MsgLabel: %s\n", ok ? "Err(0) bare dialogue" : "Error: bare dialogue failed");
        std::fflush(stdout);
      });
  if (receiving) {
    return dialogue.Receive(row.records, 1 + 17 + 2 + 2 * row.fields.size() + 2,
                            1 + 5 + static_cast<size_t>(recordLength) + 2)
               ? 0
               : 1;
  }
  std::string heading =
      "DATA.TXT    " + Digits(row.records, 5) + Digits(static_cast<int>(row.fields.size()), 2);
  for (int f : row.fields) heading += Digits(f, 2);
  std::vector<std::string> frames = {bench::BareDialogue::Frame(0x01, heading)};
  for (int i = 1; i <= row.records; ++i)
    frames.push_back(bench::BareDialogue::Frame(0x02, Digits(i, 5) + Record(i, recordLength)));
  return dialogue.Send(frames) ? 0 : 1;
}

// Runs the bare dialogue against the simulator whose link is `link`.
Run RunBare(const std::string& link, const Row& row, bool receiving, const std::string& cwd,
            const std::string& config) {
  char self[4096];
  const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0) std::abort();
  return RunProcess(
      {std::string(self, static_cast<size_t>(n)), "--bare-dialogue", link, std::to_string(row.baud),
       receiving ? "receive" : "send", std::to_string(row.records), Join(row.fields)},
      cwd, config, receiving ? "StatusBox: Receive Header" : "StatusBox: Sending Header");
}

// Starts the simulator of one side of a pair in `dir`, its link under `config`, logging its
// turns to dir/turns.txt.
pid_t StartPacedTerminal(const Row& row, bool receiving, const std::string& dir,
                         const std::string& config) {
  const std::string turns = dir + "/turns.txt";
  std::error_code gone;
  fs::remove(turns, gone);
  std::vector<std::string> termArgs = {"--baud", std::to_string(row.baud), "--turn-log", turns};
  if (!receiving) {
    termArgs.insert(termArgs.end(), {"download", "--timeout-s", "600"});
  } else {
    termArgs.insert(termArgs.end(),
                    {"upload", "--records", std::to_string(row.records), "--fields",
                     Join(row.fields), "--name", "ORDERS.BHT", "--timeout-s", "600"});
  }
  return StartTerminal(termArgs, dir, config);
}

// Prints one side's line of a pair and returns its figures.
Paced Report(const Row& row, bool receiving, bool bare, const Run& run, const std::string& turns) {
  const int recordLength = RecordLength(row);
  const double limit = StopAndWaitLimit(row.records, recordLength,
                                        static_cast<int>(row.fields.size()), row.baud, receiving);
  Paced paced;
  paced.usPerBlock = run.transferCpu * 1e6 / row.records;
  paced.lifeUsPerBlock = run.cpu * 1e6 / row.records;
  // A transfer that failed has no ratio: it may have ended early.
  char ratio[16] = "-";
  if (run.transfer > 0 && run.result.rfind("Err(0)", 0) == 0) {
    paced.lineRatio = limit / run.transfer;
    std::snprintf(ratio, sizeof ratio, "%.3f", paced.lineRatio);
  }
  const std::string answerer = receiving ? "pc" : "terminal";
  const std::string sender = receiving ? "terminal" : "pc";
  const std::string direction = std::string(receiving ? "receive" : "send") + (bare ? "/bare" : "");
  std::printf(
      "%-7d %-7d %-6d %-12s %8.2f %8.2f %6s %7.2f%% %9.2f %7.2f %6.0f %7.0f %8.1f %12s %12s  %s\n",
      row.baud, row.records, recordLength, direction.c_str(), run.transfer, limit, ratio,
      100.0 * run.cpu / run.wall, static_cast<double>(run.wakes) / row.records,
      static_cast<double>(run.preempted) / row.records, paced.usPerBlock, paced.lifeUsPerBlock,
      run.probeUs, Latency(turns, answerer, true).c_str(), Latency(turns, sender, false).c_str(),
      run.result.c_str());
  std::fflush(stdout);
  return paced;
}

// One pair: the program and the bare dialogue at the same time, each against a simulator of its
// own (the bare one in dir/bare), so that both meet the host as it was over the same seconds.
// Each uses a few per cent of a processor, so they hardly meet each other. Prints both lines.
std::pair<Paced, Paced> RunPair(const Row& row, bool receiving, const std::string& dir,
                                const std::string& config) {
  const std::string bareDir = dir + "/bare";
  const std::string bareConfig = bareDir + "/cfg";
  fs::create_directories(bareConfig + "/telvaro3");
  const pid_t term = StartPacedTerminal(row, receiving, dir, config);
  const pid_t bareTerm = StartPacedTerminal(row, receiving, bareDir, bareConfig);
  Run bareRun;
  std::thread bare([&] {
    bareRun = RunBare(bareConfig + "/telvaro3/com1", row, receiving, bareDir, bareConfig);
  });
  const std::string b = std::to_string(row.baud);
  Run run;
  if (ProgramPath() == kBareAsProgram) {
    run = RunBare(config + "/telvaro3/com1", row, receiving, dir, config);
  } else if (receiving) {
    run = RunProgram({"+P0", "+B" + b, "+DDE", "IN\\"}, dir, config, "StatusBox: Receive Header");
  } else {
    run = RunProgram({"+P0", "+B" + b, "+F" + Join(row.fields), "+DDE", "DATA.TXT"}, dir, config,
                     "StatusBox: Sending Header");
  }
  bare.join();
  Reap(term);
  Reap(bareTerm);
  return {Report(row, receiving, false, run, dir + "/turns.txt"),
          Report(row, receiving, true, bareRun, bareDir + "/turns.txt")};
}

// Middle value; the mean of the two middle ones for an even count, 0 for none.
double Median(std::vector<double> values) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const size_t half = values.size() / 2;
  return values.size() % 2 ? values[half] : (values[half - 1] + values[half]) / 2;
}

// The medians of a row's repeated pairs as one line of the closing table. Only transfers that
// succeeded count: a failed one may have ended early, and its processor time means nothing.
std::string Summary(const Row& row, bool receiving, const std::vector<Paced>& program,
                    const std::vector<Paced>& bare) {
  std::vector<double> us, bareUs, pairs, lifePairs, lines, bareLines;
  for (size_t i = 0; i < program.size() && i < bare.size(); ++i) {
    const Paced& mine = program[i];
    const Paced& floor = bare[i];
    if (mine.lineRatio > 0) us.push_back(mine.usPerBlock);
    if (mine.lineRatio > 0) lines.push_back(mine.lineRatio);
    if (floor.lineRatio > 0) bareUs.push_back(floor.usPerBlock);
    if (floor.lineRatio > 0) bareLines.push_back(floor.lineRatio);
    if (mine.lineRatio <= 0 || floor.lineRatio <= 0 || floor.usPerBlock <= 0) continue;
    pairs.push_back(mine.usPerBlock / floor.usPerBlock);
    lifePairs.push_back(mine.lifeUsPerBlock / floor.lifeUsPerBlock);
  }
  const auto [low, high] = std::minmax_element(pairs.begin(), pairs.end());
  char line[160];
  std::snprintf(line, sizeof line,
                "%-7d %-7d %-8s %5zu %8.0f %8.0f %8.3f %6.3f %6.3f %8.3f %8.3f %8.3f", row.baud,
                row.records, receiving ? "receive" : "send", pairs.size(), Median(us),
                Median(bareUs), Median(pairs), pairs.empty() ? 0.0 : *low,
                pairs.empty() ? 0.0 : *high, Median(lifePairs), Median(lines), Median(bareLines));
  return line;
}

struct Options {
  int records = 2000;
  int repeat = 1;
  std::vector<int> only;  // baud rates of the rows to run; empty: all
};

// [--repeat N] [records [baud ...]]; false when an argument makes no sense.
bool Parse(int argc, char** argv, Options& options) {
  std::vector<std::string> positional;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--repeat" && i + 1 < argc) {
      options.repeat = std::atoi(argv[++i]);
    } else if (arg.rfind("--", 0) == 0) {
      return false;
    } else {
      positional.push_back(arg);
    }
  }
  if (!positional.empty()) options.records = std::atoi(positional[0].c_str());
  for (size_t i = 1; i < positional.size(); ++i)
    options.only.push_back(std::atoi(positional[i].c_str()));
  return options.records >= 1 && options.repeat >= 1;
}

// The paced rows: for each, the program and the bare dialogue alternately, `repeat` pairs, so
// that both see the same machine; with more than one pair a table of medians closes them.
void PacedRows(const std::string& dir, const std::string& config, const Options& options) {
  std::printf("Block protocol over a pseudo-terminal, the simulator pacing the line\n");
  std::printf("%-7s %-7s %-6s %-12s %8s %8s %6s %8s %9s %7s %6s %7s %8s %12s %12s  %s\n", "baud",
              "records", "length", "direction", "time s", "limit s", "ratio", "cpu/wall",
              "wakes/blk", "preempt", "us/blk", "life/blk", "probe us", "answer ms", "next ms",
              "result");
  const Row rows[] = {
      {19200, options.records, {20}}, {115200, options.records, {20}}, {300, 10, {50, 50}}};
  std::vector<std::string> summaries;
  for (const Row& row : rows) {
    const auto& only = options.only;
    if (!only.empty() && std::find(only.begin(), only.end(), row.baud) == only.end()) continue;
    WriteRecords(dir + "/DATA.TXT", row.records, RecordLength(row));
    for (bool receiving : {false, true}) {
      std::vector<Paced> program, bare;
      for (int i = 0; i < options.repeat; ++i) {
        const auto [mine, floor] = RunPair(row, receiving, dir, config);
        program.push_back(mine);
        bare.push_back(floor);
      }
      summaries.push_back(Summary(row, receiving, program, bare));
    }
  }
  if (options.repeat < 2) return;
  std::printf("\nMedians over %d pairs (program, then bare dialogue), transfers that succeeded\n",
              options.repeat);
  std::printf("%-7s %-7s %-8s %5s %8s %8s %8s %6s %6s %8s %8s %8s\n", "baud", "records",
              "direction", "pairs", "us/blk", "bare us", "prg/bare", "min", "max", "life", "ratio",
              "bare");
  for (const std::string& line : summaries) std::printf("%s\n", line.c_str());
  std::printf("\n");
  std::fflush(stdout);
}

// A terminal that answers at once: the simulator without pacing, as a link that delivers faster
// than its rate (a USB device that ignores the baud rate, a network bridge). The program must
// not spin while its estimate of the line time runs: the terminal's answer shows the block has
// left. Prints the processor share of the wall time for each rate, sending and receiving.
Run AtOnceRun(const std::string& dir, const std::string& config, int records, int baud,
              bool receiving) {
  const std::string b = std::to_string(baud);
  std::vector<std::string> termArgs = {"--baud", b, "--no-pacing"};
  if (!receiving) {
    termArgs.insert(termArgs.end(), {"download", "--timeout-s", "600"});
  } else {
    termArgs.insert(termArgs.end(), {"upload", "--records", std::to_string(records), "--fields",
                                     "20", "--name", "ORDERS.BHT", "--timeout-s", "600"});
  }
  const pid_t term = StartTerminal(termArgs, dir, config);
  const Run run = receiving ? RunProgram({"+P0", "+B" + b, "+DDE", "IN\\"}, dir, config,
                                         "StatusBox: Receive Header")
                            : RunProgram({"+P0", "+B" + b, "+F20", "+DDE", "DATA.TXT"}, dir, config,
                                         "StatusBox: Sending Header");
  Reap(term);
  std::printf("%-7d %-7d %-6d %-12s %8.2f %7.2f%% %9.2f %6.0f %8.1f  %s\n", baud, records, 20,
              receiving ? "receive" : "send", run.transfer, 100.0 * run.cpu / run.wall,
              static_cast<double>(run.wakes) / records, run.cpu * 1e6 / records, run.probeUs,
              run.result.c_str());
  std::fflush(stdout);
  return run;
}

// Each row `repeat` times: a host that stalls for the seconds of one run (its probe shows it)
// makes that run's share several times the others', so with more than one run a table of
// medians closes them, as for the paced rows.
void AtOnceRows(const std::string& dir, const std::string& config, const Options& options) {
  std::printf("A terminal that answers at once (the simulator without pacing)\n");
  std::printf("%-7s %-7s %-6s %-12s %8s %8s %9s %6s %8s  %s\n", "baud", "records", "length",
              "direction", "time s", "cpu/wall", "wakes/blk", "us/blk", "probe us", "result");
  WriteRecords(dir + "/DATA.TXT", options.records, 20);
  std::vector<std::string> summaries;
  for (int baud : {9600, 19200, 115200}) {
    const auto& only = options.only;
    if (!only.empty() && std::find(only.begin(), only.end(), baud) == only.end()) continue;
    for (bool receiving : {false, true}) {
      std::vector<double> shares, probes;
      for (int i = 0; i < options.repeat; ++i) {
        const Run run = AtOnceRun(dir, config, options.records, baud, receiving);
        if (run.result.rfind("Err(0)", 0) != 0 || run.wall <= 0) continue;
        shares.push_back(100.0 * run.cpu / run.wall);
        probes.push_back(run.probeUs);
      }
      const auto [low, high] = std::minmax_element(shares.begin(), shares.end());
      char line[160];
      std::snprintf(line, sizeof line, "%-7d %-7d %-8s %5zu %7.2f%% %6.2f%% %6.2f%% %8.1f", baud,
                    options.records, receiving ? "receive" : "send", shares.size(), Median(shares),
                    shares.empty() ? 0.0 : *low, shares.empty() ? 0.0 : *high, Median(probes));
      summaries.push_back(line);
    }
  }
  if (options.repeat < 2) return;
  std::printf("\nMedians over %d runs answered at once, transfers that succeeded\n",
              options.repeat);
  std::printf("%-7s %-7s %-8s %5s %8s %7s %7s %8s\n", "baud", "records", "direction", "runs",
              "cpu/wall", "min", "max", "probe us");
  for (const std::string& line : summaries) std::printf("%s\n", line.c_str());
  std::printf("\n");
  std::fflush(stdout);
}

// The rows with a terminal that answers at once, and thirty seconds of waiting on a silent line.
void OtherRows(const std::string& dir, const std::string& config, const Options& options) {
  AtOnceRows(dir, config, options);
  pid_t term = StartTerminal({"--silent", "download", "--timeout-s", "60"}, dir, config);
  Run wait = RunProgram({"+P0", "+T30", "+DDE", "IN\\"}, dir, config, "StatusBox: Establish Link");
  kill(term, SIGTERM);
  Reap(term);
  std::printf(
      "silent line, 30 s wait: wall %.2f s, cpu %.3f s, cpu/wall %.3f%%, probe %.1f us  %s\n",
      wait.wall, wait.cpu, 100.0 * wait.cpu / wait.wall, wait.probeUs, wait.result.c_str());
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 7 && std::string(argv[1]) == "--bare-dialogue") return BareDialogueMain(argv);
  Options options;
  if (!Parse(argc, argv, options)) {
    std::fprintf(stderr,
                 "usage: transfer_bench [--repeat N] [records [baud ...]]  (records default "
                 "2000, N default 1)\n");
    return 2;
  }
  std::string tmpl = (fs::temp_directory_path() / "telvaro3-bench-XXXXXX").string();
  if (mkdtemp(tmpl.data()) == nullptr) return 1;
  const std::string dir = tmpl;
  const std::string config = dir + "/cfg";
  fs::create_directories(config + "/telvaro3");
  fs::create_directories(dir + "/in");
  PacedRows(dir, config, options);
  if (ProgramPath() != kBareAsProgram) OtherRows(dir, config, options);
  std::error_code ec;
  fs::remove_all(dir, ec);
  return 0;
}
