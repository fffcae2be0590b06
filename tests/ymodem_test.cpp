// The YModem engine against itself over a socket pair, where a test needs to shape what one side
// sends or sees. Transfers with lrzsz are tested end to end with the program.
#include "serial/ymodem.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <functional>
#include <regex>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "support/process.h"
#include "support/pty_channel.h"

namespace telvaro3::serial {
namespace {

namespace fs = std::filesystem;
using Names = std::vector<std::string>;
using test::Slurp;

// A fresh directory holding the file "f" and the receive directory "in".
struct TempDir : test::TempDir {
  explicit TempDir(const std::string& content) {
    Write("f", content);
    fs::create_directories(path / "in");
  }
  Names NamesIn(const std::string& sub = "in") const { return test::NamesIn(Path(sub)); }
};

// A channel that spoils what goes through it, to drive the engine's recovery paths, and keeps
// what its side writes while `recording` is set.
class FaultyChannel : public ByteChannel {
 public:
  explicit FaultyChannel(ByteChannel& inner) : inner_(inner) {}
  int Read(uint8_t* buf, int max, int ms) override { return inner_.Read(buf, max, ms); }
  bool Write(const uint8_t* data, int n) override {
    std::string copy(reinterpret_cast<const char*>(data), static_cast<size_t>(n));
    if (recording) recorded += copy;
    if (corruptWrite == ++writes_ && n > 10) copy[copy.size() / 2] ^= 0x55;
    if (repeatWrite == writes_) copy += copy;
    // A line that turns the receiver's CRC requests into NAKs: the sender uses checksums though
    // the receiver asked for CRC.
    if (crcRequestsAsNak) std::replace(copy.begin(), copy.end(), 'C', '\x15');
    return inner_.Write(reinterpret_cast<uint8_t*>(copy.data()), static_cast<int>(copy.size()));
  }
  // Which write to spoil, and which goes out twice back to back (1-based, 0 none).
  int corruptWrite = 0, repeatWrite = 0;
  bool crcRequestsAsNak = false;
  std::atomic<bool> recording{false};
  std::string recorded;  // written by the channel's own side only; read once it has finished

 private:
  ByteChannel& inner_;
  int writes_ = 0;
};

// Sends t's "f" announced as `name` into its "in", the sender on a thread of its own, while
// `during` watches.
struct PairRun {
  int32_t sendResult = 99, receiveResult = 99;
  TransferStatus sendSt, receiveSt;
  PairRun(const TempDir& t, const std::string& name, ByteChannel& sender, ByteChannel& receiver,
          const std::function<void(PairRun&)>& during = nullptr, bool judgeNames = false) {
    receiveSt.judgeNames = judgeNames;
    std::thread s([&] { sendResult = YModemSend(sender, t.Path("f"), name, sendSt, 10000); });
    std::thread watcher([&] { during ? during(*this) : void(); });
    receiveResult = YModemReceive(receiver, t.Path("in"), "IN\\", receiveSt, 10000);
    s.join();
    watcher.join();
  }
};

TEST(YModemPair, AnnouncedNamesStayInsideTheDirectory) {
  // Names announced in block 0; the first ones are stored under their last component, the
  // others refused.
  const Names announced = {"../x", "/etc/x", "a/b", "..\\..\\w", "C:\\DATA\\r.TXT", "..",     ".",
                           "x/..", "a/",     "/",   "a\x01z",    "tab\tname",       "del\x7f"};
  const Names kept = {"x", "x", "b", "w", "r.TXT"};
  for (size_t i = 0; i < announced.size(); ++i) {
    SCOPED_TRACE(::testing::PrintToString(announced[i]));
    TempDir t("hello");
    testing::ChannelPair pair;
    PairRun run(t, announced[i], *pair.a, *pair.b);
    EXPECT_EQ(t.NamesIn("."), (Names{"f", "in"}));  // nothing lands beside the directory
    const bool stored = i < kept.size();
    EXPECT_EQ(run.receiveResult, stored ? 0 : -1);
    EXPECT_EQ(run.sendResult, stored ? 0 : 5);  // a refusal is a cancel before any data
    EXPECT_EQ(run.receiveSt.fault.load() == TransferFault::kNameRefused, !stored);
    EXPECT_EQ(t.NamesIn(), stored ? Names{kept[i]} : Names{});
    if (!stored) continue;
    EXPECT_EQ(Slurp(t.Path("in/" + kept[i])), "hello");
    EXPECT_EQ(run.receiveSt.CurrentPath(), "IN\\" + kept[i]);
  }
}

// A damaged block is sent again; a cancel on one side reaches the other as CAN CAN: both fail,
// and a previous file of the name stays as it was, with no temporary file beside it. A receiver
// that holds the announced file for the program's word on its name answers nothing to block 0
// and makes no file until the word comes, however late: a name refused then is cancelled before
// any data (the sender stops), one accepted arrives whole.
TEST(YModemPair, DamagedBlocksAreSentAgainAndACancelKeepsThePreviousFile) {
  enum Event { kNone, kSenderCancels, kReceiverCancels, kNameRefusedLate, kNameAcceptedLate };
  // The sender's write that gets spoilt (1-based, 0 none), whether the line turns the receiver's
  // CRC requests into NAKs, the event, the results, the sender's write that goes out twice.
  // Spoilt: block 0, the first and the last data block, the empty block 0 that ends the batch,
  // and a middle one of a sender that uses checksums. Block 0 twice for one request, as from a
  // sender that found a request left on the line from before: answered once all the same.
  const std::tuple<int, bool, Event, int32_t, int32_t, int> cases[] = {
      {1, false, kNone, 0, 0, 0},
      {0, false, kNone, 0, 0, 1},
      {2, false, kNone, 0, 0, 0},
      {4, false, kNone, 0, 0, 0},
      {6, false, kNone, 0, 0, 0},
      {3, true, kNone, 0, 0, 0},
      {0, false, kSenderCancels, -1, -1, 0},
      {0, false, kReceiverCancels, -1, -1, 0},
      {0, false, kNameRefusedLate, 5, -1, 0},
      {0, false, kNameAcceptedLate, 0, 0, 0}};
  for (const auto& [spoilt, checksums, event, sendResult, receiveResult, twice] : cases) {
    SCOPED_TRACE(::testing::Message()
                 << spoilt << " " << checksums << " " << event << " " << twice);
    const bool cancelling = event == kSenderCancels || event == kReceiverCancels;
    const bool judging = event == kNameRefusedLate || event == kNameAcceptedLate;
    // A small file would be taken whole before a late verdict, were the verdict not awaited.
    const std::string content = test::RandomBytes(cancelling ? 3000000 : 3000, 11);
    TempDir t(content);
    if (event != kNone) t.Write("in/g", "previous");
    testing::ChannelPair pair;
    FaultyChannel senderSide(*pair.a), receiverSide(*pair.b);
    senderSide.corruptWrite = spoilt;
    senderSide.repeatWrite = twice;
    receiverSide.crcRequestsAsNak = checksums;
    receiverSide.recording = judging;
    Names namesAtVerdict;
    auto during = [&](PairRun& r) {
      if (cancelling) {
        TransferStatus& st = event == kSenderCancels ? r.sendSt : r.receiveSt;
        while (st.state.load() != -1 && st.bytes.load() < 100000)
          std::this_thread::sleep_for(std::chrono::microseconds(200));
        st.cancel = true;
      }
      if (!judging) return;
      TransferStatus& st = r.receiveSt;
      while (st.state.load() != -1 && st.CurrentPath().empty())
        std::this_thread::sleep_for(std::chrono::microseconds(200));
      // The program's verdict, slower than any wait of the engine's own.
      std::this_thread::sleep_for(std::chrono::milliseconds(1500));
      namesAtVerdict = t.NamesIn();
      receiverSide.recording = false;
      if (event == kNameRefusedLate) st.cancel = true;
      if (event == kNameAcceptedLate) st.Accept(st.CurrentPath());
    };
    PairRun run(t, "g", senderSide, receiverSide, during, judging);
    EXPECT_EQ(run.sendResult, sendResult);
    EXPECT_EQ(run.receiveResult, receiveResult);
    const bool taken = event == kNone || event == kNameAcceptedLate;
    EXPECT_TRUE(Slurp(t.Path("in/g")) == (taken ? content : "previous")) << "taken: " << taken;
    EXPECT_EQ(t.NamesIn(), Names{"g"});
    if (!judging) continue;
    // Before the verdict: start requests only, no answer to block 0, nothing made.
    EXPECT_EQ(receiverSide.recorded, std::string(receiverSide.recorded.size(), 'C'));
    EXPECT_EQ(namesAtVerdict, Names{"g"});
  }
}

// One end of a transfer, the engine, on a thread of the test's; the other, the peer, played by
// hand so that the engine can be read between two blocks.
struct HandRun {
  explicit HandRun(const std::string& content) : t(content) {}
  TempDir t;
  testing::ChannelPair pair;
  ByteChannel &engine = *pair.b, &peer = *pair.a;
  TransferStatus st;
  int32_t result = 99;
  std::string seen;  // what the last Await read
  void Put(const std::string& bytes) {
    peer.Write(reinterpret_cast<const uint8_t*>(bytes.data()), static_cast<int>(bytes.size()));
  }
  // A 128-byte CRC block; block 0 is padded with NULs, data with the bytes given. A wrong
  // complement leaves the number uncomplemented.
  void PutBlock(uint8_t n, std::string data, bool wrongComplement = false) {
    data.resize(128, '\0');
    const uint16_t crc = YModemCrc16(reinterpret_cast<const uint8_t*>(data.data()), 128);
    const char complement = static_cast<char>(wrongComplement ? n : ~n);
    Put(std::string{'\x01', static_cast<char>(n), complement} + data + static_cast<char>(crc >> 8) +
        static_cast<char>(crc & 0xff));
  }
  // The engine receiving into "in" on a thread of its own, its result in `result` once joined.
  std::thread Receive() {
    return std::thread([this] { result = YModemReceive(engine, t.Path("in"), "IN\\", st, 10000); });
  }
  // Reads until `want` and at least `count` bytes have come. False when they never come.
  bool Await(const std::string& want, size_t count = 0) {
    uint8_t buf[64];
    seen.clear();
    for (int quiet = 0; seen.find(want) == std::string::npos || seen.size() < count;) {
      const int n = peer.Read(buf, sizeof buf, 100);
      if (n > 0) seen.append(reinterpret_cast<char*>(buf), static_cast<size_t>(n));
      if (n <= 0 && ++quiet > 200) return false;
    }
    return true;
  }
};

// Both ends of a pair share one block check, so a wrong one would pass between them unseen: the
// sender's checksum block 0 is summed here by hand.
TEST(YModemPair, ChecksumBlockCarriesTheSumOfItsBytes) {
  HandRun h("abc");
  std::thread s([&] { YModemSend(h.engine, h.t.Path("f"), "f", h.st, 2000); });
  h.Put("\x15");  // NAK: checksums wanted
  const bool came = h.Await("", 132);
  h.st.cancel = true;
  s.join();
  ASSERT_TRUE(came);
  const std::string& got = h.seen;
  unsigned sum = 0;
  for (size_t i = 3; i < 131; ++i) sum += static_cast<uint8_t>(got[i]);
  EXPECT_EQ(got.substr(0, 3), std::string("\x01\x00\xff", 3));
  // Name, NUL, then the size, the modification time and the mode (a regular file's) in octal.
  const std::string stamp = got.substr(5, got.find('\0', 5) - 5);
  EXPECT_EQ(got.substr(3, 2), std::string("f\0", 2));
  EXPECT_TRUE(std::regex_match(stamp, std::regex("3 [0-7]+ 100[0-7]{3}"))) << stamp;
  EXPECT_EQ(static_cast<uint8_t>(got[131]), static_cast<uint8_t>(sum));
}

TEST(YModemPair, StartTimeOutFailsAndTellsALatePeerToGiveUp) {
  for (bool sending : {true, false}) {
    SCOPED_TRACE(sending ? "sending" : "receiving");
    HandRun h("abc");
    TransferStatus& st = h.st;  // as an earlier transfer left it: nothing of that may show
    st.bytes = st.size = 5000;
    EXPECT_EQ(sending ? YModemSend(h.engine, h.t.Path("f"), "f", st, 300)
                      : YModemReceive(h.engine, h.t.path.string(), "", st, 300),
              -1);
    EXPECT_EQ(st.state.load(), -1);
    EXPECT_EQ(st.bytes.load(), 0);
    EXPECT_EQ(st.size.load(), sending ? 3 : 0);
    // The whole cancel run: eight CAN, then eight backspaces to rub them out of a terminal.
    EXPECT_TRUE(h.Await(std::string(8, '\x18') + std::string(8, '\b')));
    EXPECT_TRUE(sending || h.seen.starts_with("C"));  // a receiver has asked for a start
  }
}

// Block 0 without a size leaves the size unknown, so every byte of the data blocks is kept, not
// none; a known size cuts the padding of the last block. The receiver reports itself busy, with
// the size so far, once the data flow. A block whose number does not match its complement is
// damaged, whatever its check says: it is refused at once and its repeat taken. A batch that
// ends before any file came has stopped, not gone through.
TEST(YModemReceive, TheAnnouncedSizeDecidesWhatIsKept) {
  // What follows the name's NUL in block 0 (nullptr: no file, the batch ends at once), the bytes
  // kept of two data blocks, the size reported after the first block.
  const std::vector<std::tuple<const char*, size_t, int32_t>> cases = {
      {"", 256, 128}, {"x", 256, 128}, {"200 14567 644", 200, 200}, {"0", 0, 0}, {nullptr, 0, 0}};
  const std::string data = test::RandomBytes(256, 3);
  for (const auto& [sizeField, kept, sizeSeen] : cases) {
    SCOPED_TRACE(sizeField ? sizeField : "no file");
    HandRun h("");
    TransferStatus& st = h.st;
    std::thread rx = h.Receive();
    ASSERT_TRUE(h.Await("C"));
    if (!sizeField) {
      h.PutBlock(0, "");
      rx.join();
      EXPECT_EQ(h.result, kYModemStopped);
      EXPECT_TRUE(h.t.NamesIn().empty());
      continue;
    }
    h.PutBlock(0, std::string("g\0", 2) + sizeField);
    EXPECT_TRUE(h.Await("\006C"));
    h.PutBlock(1, data.substr(0, 128), true);
    EXPECT_TRUE(h.Await("\x15"));
    EXPECT_EQ(h.seen, "\x15");  // refused at once, never taken
    h.PutBlock(1, data.substr(0, 128));
    EXPECT_TRUE(h.Await("\x06"));
    EXPECT_EQ(st.state.load(), kYModemBusy);
    EXPECT_EQ(st.size.load(), sizeSeen);
    h.PutBlock(2, data.substr(128));
    EXPECT_TRUE(h.Await("\x06"));
    h.Put("\x04");
    EXPECT_TRUE(h.Await("\x15"));
    h.Put("\x04");
    EXPECT_TRUE(h.Await("\006C"));
    // Our answer lost: the EOT again gets the same answer and nothing more.
    h.Put("\x04");
    EXPECT_TRUE(h.Await("\006C"));
    EXPECT_EQ(h.seen, "\006C");
    h.PutBlock(0, "");
    rx.join();
    EXPECT_EQ(h.result, 0);
    EXPECT_TRUE(Slurp(h.t.Path("in/g")) == data.substr(0, kept));
  }
}

// The file is through and only the closing exchange is left: a Cancel pressed while the receiver
// is silent still fails the send and tells the receiver to give up.
TEST(YModemSend, ACancelWhileTheBatchClosesFails) {
  HandRun h("abc");
  TransferStatus& st = h.st;
  std::thread sender([&] { h.result = YModemSend(h.engine, h.t.Path("f"), "f", st, 10000); });
  h.Put("C");
  EXPECT_TRUE(h.Await(std::string("f\0", 2)));  // block 0
  h.Put("\006C");
  EXPECT_TRUE(h.Await("abc"));  // the data block
  h.Put("\x06");
  EXPECT_TRUE(h.Await("\x04"));
  h.Put("\x06");  // no request for the closing block follows
  for (int i = 0; i < 5000 && st.state.load() != kYModemBetweenFiles; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  st.cancel = true;
  sender.join();
  EXPECT_EQ(h.result, kYModemFailed);
  EXPECT_TRUE(h.Await("\x18\x18"));
}

}  // namespace
}  // namespace telvaro3::serial
