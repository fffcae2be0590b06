// Throughput of YModem transfers over pseudo-terminals. Prints figures only, never fails on time.
//
//   ymodem_bench           a 1 MB file: the engine sending to rb, the engine receiving from sb,
//                          and sb sending to rb (two pseudo-terminals joined by a relay), with the
//                          engine's figures as multiples of lrzsz's own.
//   ymodem_bench self [baud [KB]]
//                          a 200 KB file from the program's serial component to another one of
//                          its own, each on a pseudo-terminal, joined by a relay that carries each
//                          direction at the line rate, at 115200 and 19200 baud; the time
//                          measured against the line time of all the bytes both ways.
#include <poll.h>
#include <sys/prctl.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "paced_relay.h"
#include "pty_peer.h"
#include "serial/posix_serial.h"
#include "serial/ymodem.h"

namespace {

namespace fs = std::filesystem;
using telvaro3::serial::TransferStatus;
using telvaro3::testing::PtyPeer;
using Clock = std::chrono::steady_clock;

constexpr size_t kSize = 1000000;
constexpr int kStartMs = 30000;

struct Result {
  bool ok = false;
  double total = 0;  // seconds from the start of the run to its end
  double data = 0;   // seconds from the first data to the end, where it can be seen
};

double Seconds(Clock::time_point a, Clock::time_point b) {
  return std::chrono::duration<double>(b - a).count();
}

bool SameContent(const fs::path& a, const fs::path& b) {
  std::ifstream x(a, std::ios::binary);
  std::ifstream y(b, std::ios::binary);
  return std::equal(std::istreambuf_iterator<char>(x), {}, std::istreambuf_iterator<char>(y), {});
}

// Runs fn while noting when st.bytes first turns positive.
template <typename Fn>
Result Timed(TransferStatus& st, Fn fn) {
  std::atomic<bool> done{false};
  Clock::time_point firstData{};
  auto start = Clock::now();
  std::thread watch([&] {
    while (!done && st.bytes.load() <= 0)
      std::this_thread::sleep_for(std::chrono::microseconds(100));
    firstData = Clock::now();
  });
  int32_t r = fn();
  auto end = Clock::now();
  done = true;
  watch.join();
  Result res;
  res.ok = (r == 0);
  res.total = Seconds(start, end);
  res.data = Seconds(firstData, end);
  return res;
}

// Copies bytes both ways between two channels until either side closes.
void Relay(telvaro3::testing::FdChannel& a, telvaro3::testing::FdChannel& b,
           std::atomic<bool>& stop) {
  std::vector<uint8_t> buf(65536);
  pollfd p[2] = {{a.fd(), POLLIN, 0}, {b.fd(), POLLIN, 0}};
  while (!stop) {
    if (::poll(p, 2, 50) <= 0) continue;
    for (int i = 0; i < 2; ++i) {
      if (!(p[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      auto& from = i == 0 ? a : b;
      auto& to = i == 0 ? b : a;
      int n = from.Read(buf.data(), static_cast<int>(buf.size()), 0);
      if (n < 0) return;
      if (n > 0 && !to.Write(buf.data(), n)) return;
    }
  }
}

void Print(const char* what, const Result& r) {
  if (!r.ok) {
    std::printf("%-14s FAILED\n", what);
    return;
  }
  std::printf("%-14s %8.3f s total  %9.1f KB/s", what, r.total, kSize / 1000.0 / r.total);
  if (r.data > 0) std::printf("   data phase %8.3f s  %9.1f KB/s", r.data, kSize / 1000.0 / r.data);
  std::printf("\n");
}

// ---------------------------------------------------------------------------------------------
// The program on both ends

constexpr size_t kSelfSizeDefault = 200 * 1024;

// A pseudo-terminal whose slave side the program opens by its name; both sides stay open here
// so that neither end sees a hang-up while the other is between opens.
struct Pty {
  Pty() {
    char name[256];
    if (::openpty(&master, &slave, name, nullptr, nullptr) != 0) return;
    termios t{};
    ::tcgetattr(master, &t);
    ::cfmakeraw(&t);
    ::tcsetattr(master, TCSANOW, &t);
    path = name;
  }
  ~Pty() {
    ::close(master);
    ::close(slave);
  }
  int master = -1;
  int slave = -1;
  std::string path;
};

struct SelfResult {
  bool ok = false;
  double sender = 0;    // seconds from the first byte on the line to the sender's end
  double receiver = 0;  // the same to the receiver's end, the file in place
  uint64_t forth = 0;   // bytes from sender to receiver
  uint64_t back = 0;    // bytes from receiver to sender
  double lineBoth = 0;  // line time of all the bytes both ways: the stop-and-wait ideal
  double lineForth = 0;
};

std::unique_ptr<telvaro3::serial::PosixSerialComm> OpenPort(const fs::path& root, int n, int baud) {
  auto c =
      std::make_unique<telvaro3::serial::PosixSerialComm>((root / "cfg").string(), root.string());
  c->SetPortNumber(static_cast<int16_t>(n));
  c->SetLineSettings(std::to_string(baud) + ",N,8,1");
  c->SetPortIsOpen(true);
  return c;
}

// Follows both ends until each has finished (or the time is up), letting the announced file
// through as the program would; returns the seconds each took from `start`.
void FollowEnds(telvaro3::serial::PosixSerialComm& tx, telvaro3::serial::PosixSerialComm& rx,
                double limitS, std::pair<double, double>& ends, bool& ok) {
  auto start = Clock::now();
  ends = {-1, -1};
  ok = true;
  while ((ends.first < 0 || ends.second < 0) && Seconds(start, Clock::now()) < limitS) {
    const auto now = Clock::now();
    if (ends.first < 0 && tx.TransferState() <= 0) {
      ends.first = Seconds(start, now);
      ok = ok && tx.TransferState() == 0;
    }
    const int32_t r = rx.TransferState();
    if (r == telvaro3::kYModemHeader) rx.AcceptFile(rx.CurrentFilePath());
    if (ends.second < 0 && (r <= 0 || r == telvaro3::kYModemStopped)) {
      ends.second = Seconds(start, now);
      ok = ok && r == 0;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  ok = ok && ends.first >= 0 && ends.second >= 0;
}

SelfResult RunSelf(const fs::path& root, const fs::path& src, size_t size, int baud) {
  fs::remove_all(root / "dst");
  fs::create_directories(root / "dst");
  fs::remove_all(root / "cfg");
  fs::create_directories(root / "cfg" / "telvaro3");
  Pty a;
  Pty b;
  fs::create_symlink(a.path, root / "cfg" / "telvaro3" / "com1");
  fs::create_symlink(b.path, root / "cfg" / "telvaro3" / "com2");
  auto tx = OpenPort(root, 1, baud);
  auto rx = OpenPort(root, 2, baud);
  telvaro3::testing::PacedRelay relay(a.master, b.master, baud);
  std::atomic<bool> stop{false};
  std::thread carry([&] { relay.Run(stop); });

  const double line = std::chrono::duration<double>(relay.LineTime(size)).count();
  tx->SendFile("src\\" + src.filename().string());
  rx->ReceiveDirectory("dst");
  rx->StartReceive("");
  const auto launched = Clock::now();
  std::pair<double, double> ends;
  SelfResult res;
  FollowEnds(*tx, *rx, 3 * line + 30, ends, res.ok);
  stop = true;
  carry.join();
  // The ends as seen from the first byte on the line, not from the starts.
  const double lead = Seconds(launched, relay.FirstByte());
  res.sender = ends.first - lead;
  res.receiver = ends.second - lead;
  res.forth = relay.Carried(0);
  res.back = relay.Carried(1);
  res.lineBoth = std::chrono::duration<double>(relay.LineTime(res.forth + res.back)).count();
  res.lineForth = std::chrono::duration<double>(relay.LineTime(res.forth)).count();
  tx->SetPortIsOpen(false);
  rx->SetPortIsOpen(false);
  res.ok = res.ok && SameContent(src, root / "dst" / src.filename());
  return res;
}

// bauds: the rates to run at; size: the file's length in bytes.
void RunSelfBench(const fs::path& root, const std::vector<int>& bauds, size_t size) {
  const fs::path src = root / "src" / "self.bin";
  {
    std::mt19937 gen(7);
    std::string data(size, '\0');
    for (auto& c : data) c = static_cast<char>(gen());
    std::ofstream(src, std::ios::binary).write(data.data(), static_cast<std::streamsize>(size));
  }
  std::printf(
      "YModem from the program to itself, %zu bytes, each direction paced at the line rate"
      " (10 bits a byte)\n",
      size);
  std::printf(
      "efficiency = line time of all bytes both ways (the stop-and-wait ideal) / time"
      " from the first byte to that end's finish\n");
  std::printf("%7s %8s %6s %9s %10s %6s %10s %6s %10s\n", "baud", "->bytes", "<-bytes", "line s",
              "sender s", "eff", "receiver s", "eff", "data eff");
  for (int baud : bauds) {
    SelfResult r = RunSelf(root, src, size, baud);
    if (!r.ok) {
      std::printf("%7d FAILED\n", baud);
      continue;
    }
    std::printf("%7d %8llu %6llu %9.3f %10.3f %6.3f %10.3f %6.3f %10.3f\n", baud,
                static_cast<unsigned long long>(r.forth), static_cast<unsigned long long>(r.back),
                r.lineBoth, r.sender, r.lineBoth / r.sender, r.receiver, r.lineBoth / r.receiver,
                r.lineForth / r.receiver);
  }
  std::printf("data eff: line time of the sender's bytes alone / receiver's time\n");
}

}  // namespace

int main(int argc, char** argv) {
  const fs::path root = fs::temp_directory_path() / ("ymodem_bench_" + std::to_string(::getpid()));
  const fs::path src = root / "src";
  const fs::path dst = root / "dst";
  fs::create_directories(src);
  fs::create_directories(dst);
  {
    std::mt19937 gen(42);
    std::string data(kSize, '\0');
    for (auto& c : data) c = static_cast<char>(gen());
    std::ofstream(src / "bench.bin", std::ios::binary).write(data.data(), kSize);
  }
  if (argc > 1 && std::string(argv[1]) == "self") {
    // self [baud [KB]]: one rate and another size, for a look with a profiler.
    std::vector<int> bauds = {115200, 19200};
    if (argc > 2) bauds = {std::atoi(argv[2])};
    size_t size = argc > 3 ? static_cast<size_t>(std::atoi(argv[3])) * 1024 : kSelfSizeDefault;
    RunSelfBench(root, bauds, size);
    fs::remove_all(root);
    return 0;
  }

  auto clearDst = [&] {
    fs::remove_all(dst);
    fs::create_directories(dst);
  };

  Result toRb;
  {
    clearDst();
    PtyPeer rb({"rb", "-q"}, dst.string());
    TransferStatus st;
    toRb = Timed(st, [&] {
      return telvaro3::serial::YModemSend(rb.channel(), (src / "bench.bin").string(), "bench.bin",
                                          st, kStartMs);
    });
    toRb.ok = toRb.ok && rb.Wait(60000) == 0 && SameContent(src / "bench.bin", dst / "bench.bin");
  }

  Result fromSb;
  {
    clearDst();
    PtyPeer sb({"sb", "-q", "-k", "bench.bin"}, src.string());
    TransferStatus st;
    fromSb = Timed(st, [&] {
      return telvaro3::serial::YModemReceive(sb.channel(), dst.string(), "", st, kStartMs);
    });
    fromSb.ok =
        fromSb.ok && sb.Wait(60000) == 0 && SameContent(src / "bench.bin", dst / "bench.bin");
  }

  Result lrzsz;
  {
    clearDst();
    auto start = Clock::now();
    PtyPeer rb({"rb", "-q"}, dst.string());
    PtyPeer sb({"sb", "-q", "-k", "bench.bin"}, src.string());
    std::atomic<bool> stop{false};
    std::thread relay([&] { Relay(sb.channel(), rb.channel(), stop); });
    int sbExit = sb.Wait(300000);
    int rbExit = rb.Wait(30000);
    lrzsz.total = Seconds(start, Clock::now());
    stop = true;
    relay.join();
    lrzsz.ok = sbExit == 0 && rbExit == 0 && SameContent(src / "bench.bin", dst / "bench.bin");
    if (!lrzsz.ok) std::printf("sb -> rb: sb exit %d, rb exit %d\n", sbExit, rbExit);
  }

  std::printf("YModem, 1 MB (%zu bytes) over pseudo-terminals\n", kSize);
  Print("engine -> rb", toRb);
  Print("sb -> engine", fromSb);
  Print("sb -> rb", lrzsz);
  if (lrzsz.ok && lrzsz.total > 0) {
    if (toRb.ok) std::printf("engine -> rb is %.1f x sb -> rb\n", lrzsz.total / toRb.total);
    if (fromSb.ok) std::printf("sb -> engine is %.1f x sb -> rb\n", lrzsz.total / fromSb.total);
  }
  fs::remove_all(root);
  return 0;
}
