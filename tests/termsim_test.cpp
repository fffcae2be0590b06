// The terminal simulator's fault options and its turn log, against a PC played here byte by
// byte. Its ordinary dialogues are proven by the end-to-end tests.
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

TEST(Termsim, UploadFaultsAndTheTurnLog) {
  const TempDir tmp;
  const std::string dir = tmp.path.string(), link = dir + "/com", err = dir + "/termsim.err";
  auto sim = StartTerminal(
      "--timeout-s 20 --turn-log turns.txt upload --records 3 --fields 3,2 --drop-bcc 1 "
      "--repeat-block 1 --noise 2 --eot-at 3",
      dir, link, err);
  const int fd = ::open(link.c_str(), O_RDWR | O_NOCTTY);  // raw already: the simulator set it
  ASSERT_GE(fd, 0);
  // What the PC sends, then the answer: a dropped check byte, then a NAK: the same block again;
  // a repeated block, noise before the next one, and EOT instead of the last one.
  const std::string block1 = Frame('\x02', "000011.11."), block2 = Frame('\x02', "000022.12.");
  const std::string heading = Frame('\x01', "ORDERS.BHT  00003020302");
  const std::pair<std::string, std::string> turns[] = {
      {"", ENQ},     {ACK, heading}, {ACK, block1.substr(0, block1.size() - 1)},
      {NAK, block1}, {ACK, block1},  {ACK, block2},
      {ACK, EOT},    {ACK, ""}};
  for (const auto& [send, expect] : turns) {
    const bool noisy = expect == block2;
    ASSERT_EQ(::write(fd, send.data(), send.size()), (ssize_t)send.size());
    std::string got;
    pollfd p{fd, POLLIN, 0};
    char b;
    while ((got.size() < expect.size() || (noisy && !got.ends_with(expect))) &&
           ::poll(&p, 1, 10000) > 0 && ::read(fd, &b, 1) == 1)
      got += b;
    EXPECT_TRUE(noisy ? got.size() > expect.size() && got.ends_with(expect) : got == expect)
        << ::testing::PrintToString(expect) << " got " << ::testing::PrintToString(got);
  }
  ASSERT_TRUE(sim->Wait(20));
  EXPECT_EQ(sim->ExitCode(), 1) << Slurp(err);
  ::close(fd);
  // Each change of hands as "<side> <characters answered>", without the machine's latency.
  EXPECT_EQ(std::regex_replace(Slurp(dir + "/turns.txt"), std::regex(" [0-9.]+ "), " "),
            "pc 1\nterminal 1\npc 26\nterminal 1\npc 12\nterminal 1\npc 13\nterminal 1\npc 13\n"
            "terminal 1\npc 17\nterminal 1\npc 1\n");
}

}  // namespace
}  // namespace telvaro3::test
