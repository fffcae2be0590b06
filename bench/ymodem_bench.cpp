// Throughput of a 1 MB YModem transfer over pseudo-terminals: the engine sending to rb, the
// engine receiving from sb, and sb sending to rb (two pseudo-terminals joined by a relay), with
// the engine's figures as multiples of lrzsz's own. Prints figures only.
#include <poll.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "pty_peer.h"
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

}  // namespace

int main() {
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
