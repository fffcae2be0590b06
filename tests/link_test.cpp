// The block-protocol primitives: sending with port events, and waiting for the answer.

#include "link/link.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "settings/procedures.h"
#include "support/fakes.h"

namespace telvaro3 {
namespace {

struct LinkRig : test::TestRig {
  LinkRig() { SetDefaults(p); }
};

TEST(SendToBHT, WaitsTheSendDelayThenWrites) {
  LinkRig r;
  double writtenAt = -1;
  r.comm.onOutput = [&](const std::string&) { writtenAt = r.clock.now; };
  for (const int delay : {40, -7}) {  // never a negative pause
    r.p.settings.SendDelayMs = delay;
    const double start = r.clock.now;
    EXPECT_EQ(SendToBHT(r.p, "x"), 0);
    EXPECT_NEAR(writtenAt - start, std::max(delay, 0) / 1000.0, 1e-9) << delay;
    EXPECT_NEAR(r.clock.now, writtenAt, 1e-9);
  }
  EXPECT_EQ(r.comm.sent, "xx");
}

TEST(SendToBHT, WaitsUntilTheOutputHasLeftThenReadsTheEvent) {
  struct Case {
    int16_t event, result, lastResult;
    bool discards;                                // the queued output is given up
    double secondsPerByte = 0, cancelAfter = -1;  // cancel: seconds after the write
    double seconds = 0;                           // from the write to the return
  };
  // 100 bytes at 19200 baud (the default): the limit is 5 s beyond their line time at 12 bits a
  // character, 0.0625 s.
  const Case cases[] = {{1, 0, 1, false},
                        {1000, 1000, 1000, false},
                        {1001, 0, 1001, true},
                        {1010, 1010, 1010, false},
                        {1011, 0, 1011, true},
                        {0, 0, 0, true},
                        {1, 0, 1, false, 0.01, -1, 1.0},    // the queue drains
                        {1, 0, 0, true, 0.01, 0.3, 0.3},    // Cancel: the output is given up
                        {1, 0, 0, true, 1e6, -1, 5.0625}};  // never drains: the limit
  for (const Case& c : cases) {
    const std::string label = std::to_string(c.event) + "/" + std::to_string(c.secondsPerByte);
    LinkRig r;
    r.p.settings.SendDelayMs = 0;
    r.comm.nextEvent = c.event;
    r.comm.secondsPerByte = c.secondsPerByte;
    r.window.Bind([&] { r.p.state.AbortFlag = true; }, nullptr);
    const double start = r.clock.now;
    if (c.cancelAfter >= 0) r.window.cancelAt = start + c.cancelAfter;
    // A wait without end gives up here rather than hang the test.
    r.comm.onIdle = [&] { r.p.state.AbortFlag = r.p.state.AbortFlag || r.clock.now > start + 60; };
    EXPECT_EQ(SendToBHT(r.p, std::string(100, 'x')), c.result) << label;
    EXPECT_NEAR(r.clock.now - start, c.seconds, 0.02) << label;
    EXPECT_EQ(r.p.state.LastResult, c.lastResult) << label;
    const bool discarded = !r.comm.writes.empty() && r.comm.writes.back() == "OutputCount=0";
    EXPECT_EQ(discarded, c.discards) << label;
    EXPECT_EQ(r.comm.OutputCount(), 0) << label;
    EXPECT_EQ(r.p.state.AbortFlag, c.cancelAfter >= 0) << label;  // seen, not cleared
  }
}

TEST(WaitAnswerBHT, TheAnswerClockStartsOnceTheBlockHasLeft) {
  // A 108-byte block at 300 baud is 3.6 s on the line, longer than the answer wait.
  LinkRig r;
  r.comm.secondsPerByte = 10.0 / 300;
  const std::string block = "\x02" + std::string(106, 'x') + "\x03";
  double leftAt = 0;
  r.comm.onOutput = [&](const std::string& data) {
    leftAt = r.clock.now + static_cast<double>(data.size()) * r.comm.secondsPerByte;
    r.comm.Reply("\x06", leftAt - r.clock.now + 0.5);
  };
  EXPECT_EQ(SendToBHT(r.p, block), 0);
  EXPECT_EQ(WaitAnswerBHT(r.p), kAnswerAck);
  EXPECT_GE(r.p.state.WaitStart, leftAt);
}

TEST(WaitAnswerBHT, FirstCharacterOfAChunkDecides) {
  const std::vector<std::pair<std::string, int16_t>> cases = {
      {"\x06", kAnswerAck}, {"\x15", kAnswerNak},         {"\x05", kAnswerEnq},
      {"\x04", kAnswerEot}, {"\x06junk\x15", kAnswerAck}, {"x\x06", kAnswerTimeout},
      {"", kAnswerTimeout}, {"\x02\x06", kAnswerTimeout},
  };
  for (const auto& [chunk, answer] : cases) {
    LinkRig r;
    if (!chunk.empty()) r.comm.Reply(chunk, 0.5);
    EXPECT_EQ(WaitAnswerBHT(r.p), answer) << testing::PrintToString(chunk);
  }
}

TEST(WaitAnswerBHT, NoiseNeitherDecidesNorRestartsTheThreeSeconds) {
  LinkRig r;
  r.comm.Reply("noise", 1.0);
  r.comm.Reply("\x15", 2.0);
  EXPECT_EQ(WaitAnswerBHT(r.p), kAnswerNak);
  r.comm.Reply("noise", 2.0);
  r.comm.Reply("\x06", 3.5);
  const double start = r.clock.now;
  EXPECT_EQ(WaitAnswerBHT(r.p), kAnswerTimeout);
  EXPECT_GE(r.clock.now - start, 3.0);
  EXPECT_LT(r.clock.now - start, 3.1);
  EXPECT_EQ(WaitAnswerBHT(r.p), kAnswerAck);  // the next wait still gets it
}

TEST(WaitAnswerBHT, EotSetsTheCounterAndCancelCountsDuringTheWaitOnly) {
  LinkRig r;
  r.p.settings.TimeoutCount = 20;
  r.comm.Reply("\x04");
  EXPECT_EQ(WaitAnswerBHT(r.p), kAnswerEot);
  EXPECT_EQ(r.p.state.TimeoutCounter, 19);  // one below its limit
  r.p.state.AbortFlag = true;               // pressed before the wait: forgotten
  r.comm.Reply("\x06", 0.2);
  EXPECT_EQ(WaitAnswerBHT(r.p), kAnswerAck);
  r.window.Bind([&] { r.p.state.AbortFlag = true; }, nullptr);
  r.window.cancelAt = r.clock.now + 1.0;
  r.comm.Reply("\x06", 2.0);
  EXPECT_EQ(WaitAnswerBHT(r.p), kAnswerCancel);
}

}  // namespace
}  // namespace telvaro3
