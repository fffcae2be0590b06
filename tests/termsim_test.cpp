// The terminal simulator's fault options and its checks on the PC's blocks, against a PC played
// here byte by byte. Its ordinary dialogues are proven by the end-to-end tests.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <regex>
#include <string>
#include <vector>

#include "support/frames.h"
#include "support/process.h"

namespace telvaro3::test {
namespace {

// What the PC sends (maybe nothing), then what the terminal must answer, maybe after line noise.
struct Turn {
  std::string send, expect;
  bool noisy = false;
};

struct Case {
  const char* label;
  std::string args;
  std::vector<Turn> turns;
  int exitCode;
  // What the terminal kept (--save got.txt), or the changes of hands (--turn-log turns.txt) as
  // "<side> <characters answered>" lines, leaving out the latencies, which are the machine's.
  std::string saved{}, turnLog{};
};

class TermsimDialogue : public ::testing::TestWithParam<Case> {};

TEST_P(TermsimDialogue, AnswersAsDocumented) {
  const Case& c = GetParam();
  const TempDir tmp;
  const std::string dir = tmp.path.string(), link = dir + "/com", err = dir + "/termsim.err";
  std::vector<std::string> argv = {
      TELVARO3_BINARY_DIR "/tools/termsim/termsim", "--pty", "--link", link, "--timeout-s", "20"};
  for (auto& w : Words(c.args)) argv.push_back(w);
  Process sim(argv, ProcessOptions{.cwd = dir, .env = {}, .stderrPath = err});
  ASSERT_TRUE(WaitForPath(link, 10)) << Slurp(err);
  const int fd = ::open(link.c_str(), O_RDWR | O_NOCTTY);  // raw already: the simulator set it
  ASSERT_GE(fd, 0);
  for (size_t i = 0; i < c.turns.size(); ++i) {
    const auto& [send, expect, noisy] = c.turns[i];
    ASSERT_EQ(::write(fd, send.data(), send.size()), (ssize_t)send.size());
    std::string got;
    pollfd p{fd, POLLIN, 0};
    char b;
    while ((got.size() < expect.size() || (noisy && !got.ends_with(expect))) &&
           ::poll(&p, 1, 10000) > 0 && ::read(fd, &b, 1) == 1)
      got += b;
    EXPECT_TRUE(noisy ? got.size() > expect.size() && got.ends_with(expect) : got == expect)
        << "turn " << i << " got " << ::testing::PrintToString(got);
  }
  ASSERT_TRUE(sim.Wait(20));
  EXPECT_EQ(sim.ExitCode(), c.exitCode) << Slurp(err);
  ::close(fd);
  EXPECT_EQ(c.saved.empty() ? "" : Slurp(dir + "/got.txt"), c.saved);
  const std::regex latency(" [0-9.]+ ");
  EXPECT_EQ(c.turnLog.empty() ? "" : std::regex_replace(Slurp(dir + "/turns.txt"), latency, " "),
            c.turnLog);
}

constexpr char SOH = 0x01, STX = 0x02;
const std::string kBlock1 = Frame(STX, "000011.11."), kRecord1 = std::string("AB\xA3") + "CDEF";
const std::string kSaved1 = Frame(STX, "00001" + kRecord1);

INSTANTIATE_TEST_SUITE_P(
    Faults, TermsimDialogue,
    ::testing::Values(
        // A dropped check byte, then a NAK: the same block again. A repeated block, noise before
        // the next one, and EOT instead of the last one.
        // A dropped check byte, then a NAK: the same block again. A repeated block, noise before
        // the next one, and EOT instead of the last one.
        Case{"UploadFaults",
             "--turn-log turns.txt upload --records 3 --fields 3,2 --drop-bcc 1 --repeat-block 1 "
             "--noise 2 --eot-at 3",
             {{"", ENQ},
              {ACK, Frame(SOH, "ORDERS.BHT  00003020302")},
              {ACK, kBlock1.substr(0, kBlock1.size() - 1)},
              {NAK, kBlock1},
              {ACK, kBlock1},
              {ACK, Frame(STX, "000022.12."), true},
              {ACK, EOT},
              {ACK, ""}},
             1,
             "",
             "pc 1\nterminal 1\npc 26\nterminal 1\npc 12\nterminal 1\npc 13\nterminal 1\npc 13\n"
             "terminal 1\npc 17\nterminal 1\npc 1\n"},
        // Bad headings are refused; then block 1 is refused once on purpose, a wrong check byte
        // and a wrong serial are refused, a repeat of the previous block is acknowledged and
        // not kept. Record bytes travel unchanged, the pound sign of Latin-1 included.
        Case{"DownloadChecksHeadingAndBlocks",
             "download --save got.txt --nak-block 1:1",
             {{ENQ, ACK},
              {Frame(SOH, "ORDERS.BHT  0000202030"), NAK},  // one short of two fields
              {Frame(SOH, "MAIN.PD3    0000201"), NAK},     // program heading with fields
              {Frame(SOH, "ORDERS.BHT  00002020304"), ACK},
              {kSaved1, NAK},
              {kSaved1.substr(0, kSaved1.size() - 1) + char(kSaved1.back() ^ 0x40), NAK},
              {kSaved1, ACK},
              {kSaved1, ACK},
              {Frame(STX, "00003xxxxxxx"), NAK},
              {Frame(STX, "00002fghijkl"), ACK},
              {EOT, ACK}},
             0,
             kRecord1 + "\r\nfghijkl\r\n"}),
    [](const auto& info) { return std::string(info.param.label); });

}  // namespace
}  // namespace telvaro3::test
