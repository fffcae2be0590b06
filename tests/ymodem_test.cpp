// The YModem engine against lrzsz (sb, rb) over a pseudo-terminal, and against itself over a
// socket pair where a test needs to shape what one side sends.
#include "serial/ymodem.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "support/pty_channel.h"

namespace telvaro3::serial {
namespace {

namespace fs = std::filesystem;
using testing::ChannelPair;
using testing::FdChannel;

constexpr int kStartMs = 10000;
constexpr int kPeerExitMs = 120000;

std::string Pattern(size_t n, unsigned seed) {
  std::mt19937 gen(seed);
  std::string s(n, '\0');
  for (auto& c : s) c = static_cast<char>(gen());
  return s;
}

std::string ReadAll(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void WriteAll(const fs::path& p, const std::string& s) {
  std::ofstream out(p, std::ios::binary);
  out.write(s.data(), static_cast<std::streamsize>(s.size()));
}

// A fresh directory removed at the end of the test.
class TempDir {
 public:
  TempDir() {
    static std::atomic<int> counter{0};
    path_ = fs::temp_directory_path() /
            ("ymodem_test_" + std::to_string(::getpid()) + "_" + std::to_string(counter++));
    fs::create_directories(path_);
  }
  ~TempDir() {
    std::error_code ec;
    fs::remove_all(path_, ec);
  }
  const fs::path& path() const { return path_; }
  std::vector<std::string> Names() const {
    std::vector<std::string> n;
    for (const auto& e : fs::directory_iterator(path_)) n.push_back(e.path().filename().string());
    std::sort(n.begin(), n.end());
    return n;
  }

 private:
  fs::path path_;
};

// Transfers with lrzsz (sizes both ways, a batch, cancel) are tested end to end with the program.

// ---------------------------------------------------------------------------------------------
// Engine against engine over a socket pair.

struct PairRun {
  int32_t sendResult = 99;
  int32_t receiveResult = 99;
  TransferStatus sendSt;
  TransferStatus receiveSt;
};

// Runs a send of `file` announced as `name` against a receive into `dir`, each on its own thread.
// `wrapReceiver` may put a filter between the receiver and its channel.
void RunPair(PairRun& run, const fs::path& file, const std::string& name, const fs::path& dir,
             ByteChannel* senderChannel, ByteChannel* receiverChannel, int startMs = kStartMs) {
  std::thread sender([&] {
    run.sendResult = YModemSend(*senderChannel, file.string(), name, run.sendSt, startMs);
  });
  run.receiveResult = YModemReceive(*receiverChannel, dir.string(), "IN\\", run.receiveSt, startMs);
  sender.join();
}

// Hostile or broken names announced in block 0.
struct NameCase {
  const char* announced;
  const char* stored;  // nullptr when the name must be refused
};

class AnnouncedNames : public ::testing::TestWithParam<NameCase> {};

TEST_P(AnnouncedNames, OnlyTheLastComponentIsUsedInsideTheDirectory) {
  const auto [announced, stored] = GetParam();
  TempDir src;
  TempDir outer;
  const fs::path dir = outer.path() / "in";
  fs::create_directories(dir);
  WriteAll(src.path() / "f", "hello");
  ChannelPair pair;
  ASSERT_TRUE(pair.ok);
  PairRun run;
  RunPair(run, src.path() / "f", announced, dir, pair.a.get(), pair.b.get());

  // Nothing ever lands beside the receive directory.
  EXPECT_EQ(outer.Names(), std::vector<std::string>{"in"});
  if (stored) {
    EXPECT_EQ(run.receiveResult, 0);
    EXPECT_EQ(run.sendResult, 0);
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(dir)) names.push_back(e.path().filename().string());
    EXPECT_EQ(names, std::vector<std::string>{stored});
    EXPECT_EQ(ReadAll(dir / stored), "hello");
    EXPECT_EQ(run.receiveSt.CurrentPath(), std::string("IN\\") + stored);
  } else {
    EXPECT_EQ(run.receiveResult, -1);
    EXPECT_EQ(run.sendResult, 5) << "the sender sees the refusal as a cancel before any data";
    EXPECT_TRUE(fs::is_empty(dir));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Ymodem, AnnouncedNames,
    ::testing::Values(NameCase{"../x", "x"}, NameCase{"/etc/x", "x"}, NameCase{"a/b", "b"},
                      NameCase{"..\\..\\w", "w"}, NameCase{"C:\\DATA\\r.TXT", "r.TXT"},
                      NameCase{"..", nullptr}, NameCase{".", nullptr}, NameCase{"x/..", nullptr},
                      NameCase{"a/", nullptr}, NameCase{"/", nullptr}, NameCase{"a\x01z", nullptr},
                      NameCase{"tab\tname", nullptr}, NameCase{"del\x7f", nullptr}));

// A channel that spoils what goes through it, to drive the engine's recovery paths.
class FaultyChannel : public ByteChannel {
 public:
  explicit FaultyChannel(ByteChannel& inner) : inner_(inner) {}
  int Read(uint8_t* buf, int max, int timeoutMs) override {
    return inner_.Read(buf, max, timeoutMs);
  }
  bool Write(const uint8_t* data, int n) override {
    std::vector<uint8_t> copy(data, data + n);
    ++writes_;
    if (corruptWrite == writes_ && n > 10) copy[static_cast<size_t>(n) / 2] ^= 0x55;
    if (dropCrcRequests && !nakSeen_) {
      // Behave like a line that loses the CRC requests, so the receiver falls back to NAK.
      std::erase(copy, static_cast<uint8_t>('C'));
    }
    if (std::find(data, data + n, uint8_t{0x15}) != data + n) nakSeen_ = true;
    return copy.empty() || inner_.Write(copy.data(), static_cast<int>(copy.size()));
  }

  int corruptWrite = 0;  // which write to spoil (1-based), 0 none
  bool dropCrcRequests = false;

 private:
  ByteChannel& inner_;
  int writes_ = 0;
  bool nakSeen_ = false;
};

struct FaultCase {
  const char* what;
  size_t size;
  int corruptSenderWrite;
  bool dropCrcRequests;
};

class Faults : public ::testing::TestWithParam<FaultCase> {};

TEST_P(Faults, TheFileStillArrivesWhole) {
  const FaultCase c = GetParam();
  TempDir src;
  TempDir dst;
  const std::string content = Pattern(c.size, 11);
  WriteAll(src.path() / "f.bin", content);
  ChannelPair pair;
  ASSERT_TRUE(pair.ok);
  FaultyChannel senderSide(*pair.a);
  senderSide.corruptWrite = c.corruptSenderWrite;
  FaultyChannel receiverSide(*pair.b);
  receiverSide.dropCrcRequests = c.dropCrcRequests;
  PairRun run;
  RunPair(run, src.path() / "f.bin", "f.bin", dst.path(), &senderSide, &receiverSide);
  EXPECT_EQ(run.sendResult, 0);
  EXPECT_EQ(run.receiveResult, 0);
  EXPECT_EQ(ReadAll(dst.path() / "f.bin"), content);
  EXPECT_EQ(dst.Names(), std::vector<std::string>{"f.bin"});
}

INSTANTIATE_TEST_SUITE_P(Ymodem, Faults,
                         ::testing::Values(FaultCase{"clean", 5000, 0, false},
                                           FaultCase{"damaged block 0", 5000, 1, false},
                                           FaultCase{"damaged first data block", 5000, 2, false},
                                           FaultCase{"damaged last data block", 3000, 4, false},
                                           FaultCase{"damaged end of batch", 3000, 6, false},
                                           FaultCase{"checksum fallback", 3000, 0, true},
                                           FaultCase{"checksum fallback with damage", 3000, 3,
                                                     true}),
                         [](const auto& info) {
                           std::string n = info.param.what;
                           for (auto& ch : n) {
                             if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
                           }
                           return n;
                         });

// A cancel on one side reaches the other as CAN CAN: the peer that was cancelled fails (-1 once
// data flowed), and the half-received file is removed.
TEST(YModemPair, CancelOnEitherSideFailsBothAndLeavesNoFile) {
  for (bool cancelSender : {true, false}) {
    SCOPED_TRACE(cancelSender ? "sender cancels" : "receiver cancels");
    TempDir src;
    TempDir dst;
    WriteAll(src.path() / "f.bin", Pattern(3000000, 5));
    ChannelPair pair;
    ASSERT_TRUE(pair.ok);
    PairRun run;
    TransferStatus& cancelling = cancelSender ? run.sendSt : run.receiveSt;
    std::thread watcher([&] {
      while (cancelling.bytes.load() < 100000 && cancelling.state.load() != -1) {
        std::this_thread::sleep_for(std::chrono::microseconds(200));
      }
      cancelling.cancel = true;
    });
    RunPair(run, src.path() / "f.bin", "f.bin", dst.path(), pair.a.get(), pair.b.get());
    watcher.join();
    EXPECT_EQ(run.sendResult, -1);
    EXPECT_EQ(run.receiveResult, -1);
    EXPECT_TRUE(dst.Names().empty());
  }
}

TEST(YModemPair, StartTimeOutFailsAndTellsALatePeerToGiveUp) {
  for (bool sending : {true, false}) {
    SCOPED_TRACE(sending ? "sending" : "receiving");
    TempDir dir;
    WriteAll(dir.path() / "f", "abc");
    ChannelPair pair;
    ASSERT_TRUE(pair.ok);
    TransferStatus st;
    int32_t r = sending ? YModemSend(*pair.a, (dir.path() / "f").string(), "f", st, 300)
                        : YModemReceive(*pair.a, dir.path().string(), "", st, 300);
    EXPECT_EQ(r, -1);
    EXPECT_EQ(st.state.load(), -1);
    EXPECT_EQ(st.bytes.load(), 0);
    std::vector<uint8_t> seen(4096);
    int n = pair.b->Read(seen.data(), static_cast<int>(seen.size()), 100);
    ASSERT_GT(n, 0);
    seen.resize(static_cast<size_t>(n));
    EXPECT_GE(std::count(seen.begin(), seen.end(), uint8_t{0x18}), 2);
    if (!sending) {
      EXPECT_EQ(seen.front(), 'C');
    }
  }
}

TEST(YModemPair, AFileThatCannotBeReadFailsAtOnce) {
  TempDir dir;
  ChannelPair pair;
  TransferStatus st;
  EXPECT_EQ(YModemSend(*pair.a, (dir.path() / "missing").string(), "missing", st, kStartMs), -1);
}

TEST(YModemCrc, MatchesTheKnownCheckValue) {
  const std::string text = "123456789";
  EXPECT_EQ(YModemCrc16(reinterpret_cast<const uint8_t*>(text.data()), text.size()), 0x31C3);
}

}  // namespace
}  // namespace telvaro3::serial
