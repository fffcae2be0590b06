// The YModem engine against itself over a socket pair, where a test needs to shape what one side
// sends or sees. Transfers with lrzsz are tested end to end with the program.
#include "serial/ymodem.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "support/process.h"
#include "support/pty_channel.h"

namespace telvaro3::serial {
namespace {

namespace fs = std::filesystem;
using testing::ChannelPair;
using Names = std::vector<std::string>;

std::string ReadAll(const fs::path& p) {
  return test::Slurp(p.string());
}

// A fresh directory holding the file "f" and the receive directory "in".
struct TempDir : test::TempDir {
  explicit TempDir(const std::string& content = "") {
    Write("f", content);
    fs::create_directories(path / "in");
  }
  Names NamesIn(const std::string& sub = "in") const {
    Names n;
    for (const auto& e : fs::directory_iterator(path / sub))
      n.push_back(e.path().filename().string());
    std::sort(n.begin(), n.end());
    return n;
  }
};

struct PairRun {
  int32_t sendResult = 99, receiveResult = 99;
  TransferStatus sendSt, receiveSt;

  // Sends t's "f" announced as `name` into its "in", the sender on a thread of its own.
  PairRun(const TempDir& t, const std::string& name, ByteChannel& sender, ByteChannel& receiver,
          const std::function<void(PairRun&)>& during = nullptr, bool judgeNames = false) {
    receiveSt.judgeNames = judgeNames;
    const std::string file = (t.path / "f").string(), dir = (t.path / "in").string();
    std::thread s([&] { sendResult = YModemSend(sender, file, name, sendSt, 10000); });
    std::thread watcher([&] {
      if (during) during(*this);
    });
    receiveResult = YModemReceive(receiver, dir, "IN\\", receiveSt, 10000);
    s.join();
    watcher.join();
  }
};

TEST(YModemPair, AnnouncedNamesStayInsideTheDirectory) {
  // Names announced in block 0; the first ones are stored under their last component, the
  // others refused.
  const std::vector<std::string> announced = {
      "../x", "/etc/x", "a/b", "..\\..\\w", "C:\\DATA\\r.TXT", "..",     ".",
      "x/..", "a/",     "/",   "a\x01z",    "tab\tname",       "del\x7f"};
  const std::vector<std::string> kept = {"x", "x", "b", "w", "r.TXT"};
  for (size_t i = 0; i < announced.size(); ++i) {
    SCOPED_TRACE(::testing::PrintToString(announced[i]));
    const std::string stored = i < kept.size() ? kept[i] : "";
    TempDir t("hello");
    ChannelPair pair;
    ASSERT_TRUE(pair.ok);
    PairRun run(t, announced[i], *pair.a, *pair.b);
    EXPECT_EQ(t.NamesIn("."), (Names{"f", "in"}));  // nothing lands beside the directory
    if (stored.empty()) {
      EXPECT_EQ(run.receiveResult, -1);
      EXPECT_EQ(run.sendResult, 5);  // the sender sees the refusal as a cancel before any data
      EXPECT_EQ(run.receiveSt.fault.load(), TransferFault::kNameRefused);
      EXPECT_EQ(t.NamesIn(), Names{});
      continue;
    }
    EXPECT_EQ(run.sendResult, 0);
    EXPECT_EQ(run.receiveResult, 0);
    EXPECT_EQ(t.NamesIn(), Names{stored});
    EXPECT_EQ(ReadAll(t.path / "in" / stored), "hello");
    EXPECT_EQ(run.receiveSt.CurrentPath(), "IN\\" + stored);
  }
}

// A channel that spoils what goes through it, to drive the engine's recovery paths.
class FaultyChannel : public ByteChannel {
 public:
  explicit FaultyChannel(ByteChannel& inner) : inner_(inner) {}
  int Read(uint8_t* buf, int max, int timeoutMs) override {
    return inner_.Read(buf, max, timeoutMs);
  }
  bool Write(const uint8_t* data, int n) override {
    std::vector<uint8_t> copy(data, data + n);
    if (corruptWrite == ++writes_ && n > 10) copy[static_cast<size_t>(n) / 2] ^= 0x55;
    // A line that turns the receiver's CRC requests into NAKs: the sender uses checksums though
    // the receiver asked for CRC.
    if (crcRequestsAsNak) std::replace(copy.begin(), copy.end(), uint8_t{'C'}, uint8_t{0x15});
    return copy.empty() || inner_.Write(copy.data(), static_cast<int>(copy.size()));
  }
  int corruptWrite = 0;  // which write to spoil (1-based), 0 none
  bool crcRequestsAsNak = false;

 private:
  ByteChannel& inner_;
  int writes_ = 0;
};

TEST(YModemPair, DamagedBlocksAreSentAgain) {
  // The sender's write that gets spoilt: block 0, the first and the last data block, the empty
  // block 0 that ends the batch; and a middle one of a sender that uses checksums.
  const std::pair<int, bool> cases[] = {{1, false}, {2, false}, {4, false}, {6, false}, {3, true}};
  const std::string content = test::RandomBytes(3000, 11);
  for (const auto& [write, checksums] : cases) {
    SCOPED_TRACE(::testing::Message() << "write " << write << (checksums ? ", checksums" : ""));
    TempDir t(content);
    ChannelPair pair;
    ASSERT_TRUE(pair.ok);
    FaultyChannel senderSide(*pair.a), receiverSide(*pair.b);
    senderSide.corruptWrite = write;
    receiverSide.crcRequestsAsNak = checksums;
    PairRun run(t, "g", senderSide, receiverSide);
    EXPECT_EQ(run.sendResult, 0);
    EXPECT_EQ(run.receiveResult, 0);
    EXPECT_EQ(ReadAll(t.path / "in" / "g"), content);
    EXPECT_EQ(t.NamesIn(), Names{"g"});
  }
}

// A cancel on one side reaches the other as CAN CAN: both fail, and a previous file of the name
// stays as it was, with no temporary file beside it. A receiver that holds the announced file
// for the program's word and is cancelled meanwhile refuses it before any data: the sender stops.
TEST(YModemPair, CancelOnEitherSideFailsBothAndKeepsThePreviousFile) {
  enum Who { kSender, kReceiver, kReceiverHolding };
  for (Who who : {kSender, kReceiver, kReceiverHolding}) {
    SCOPED_TRACE(who);
    TempDir t(test::RandomBytes(3000000, 5));
    t.Write("in/g", "previous");
    ChannelPair pair;
    ASSERT_TRUE(pair.ok);
    PairRun run(
        t, "g", *pair.a, *pair.b,
        [&](PairRun& r) {
          TransferStatus& st = who == kSender ? r.sendSt : r.receiveSt;
          const int32_t until = who == kReceiverHolding ? 0 : 100000;
          while (st.bytes.load() < until || (who == kReceiverHolding && st.state.load() != 2)) {
            if (st.state.load() == -1) break;
            std::this_thread::sleep_for(std::chrono::microseconds(200));
          }
          st.cancel = true;
        },
        who == kReceiverHolding);
    EXPECT_EQ(run.sendResult, who == kReceiverHolding ? 5 : -1);
    EXPECT_EQ(run.receiveResult, -1);
    EXPECT_EQ(t.NamesIn(), Names{"g"});
    EXPECT_EQ(ReadAll(t.path / "in" / "g"), "previous");
  }
}

TEST(YModemPair, StartTimeOutFailsAndTellsALatePeerToGiveUp) {
  for (bool sending : {true, false}) {
    SCOPED_TRACE(sending ? "sending" : "receiving");
    TempDir dir("abc");
    ChannelPair pair;
    ASSERT_TRUE(pair.ok);
    TransferStatus st;
    const int32_t r = sending ? YModemSend(*pair.a, (dir.path / "f").string(), "f", st, 300)
                              : YModemReceive(*pair.a, dir.path.string(), "", st, 300);
    EXPECT_EQ(r, -1);
    EXPECT_EQ(st.state.load(), -1);
    EXPECT_EQ(st.bytes.load(), 0);
    std::vector<uint8_t> seen(4096);
    const int n = pair.b->Read(seen.data(), static_cast<int>(seen.size()), 100);
    ASSERT_GT(n, 0);
    seen.resize(static_cast<size_t>(n));
    EXPECT_GE(std::count(seen.begin(), seen.end(), uint8_t{0x18}), 2);  // CAN CAN
    EXPECT_TRUE(sending || seen.front() == 'C');  // a receiver has asked for a start
  }
}

}  // namespace
}  // namespace telvaro3::serial
