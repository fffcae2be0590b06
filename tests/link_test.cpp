// The block-protocol primitives: block check characters, sending with port events, answer waits.

#include "link/link.h"

#include <gtest/gtest.h>

#include "settings/procedures.h"
#include "support/fakes.h"

namespace telvaro3 {
namespace {

using test::TestRig;

struct LinkRig : TestRig {
  LinkRig() { SetDefaults(p); }
};

TEST(AddBcc, XorOfTheCoveredSpan) {
  LinkRig r;
  EXPECT_EQ(AddBcc(r.p, "ABC\x03"), "\x43");
  EXPECT_EQ(AddBcc(r.p, "Z"), "Z");  // one character is its own check
  EXPECT_EQ(AddBcc(r.p, std::string("AA\x03", 3)), "\x03");
  EXPECT_EQ(AddBcc(r.p, "\xff\x01"), "\xfe");  // bytes above 127 stay bytes
  EXPECT_EQ(AddBcc(r.p, ""), std::string(1, '\0'));
  EXPECT_EQ(r.p.state.ProcName, "AddBcc");
}

TEST(BccCheck, LeavesOutTheReceivedCheck) {
  LinkRig r;
  EXPECT_EQ(BccCheck(r.p, "ABC\x03?"), "\x43");
  EXPECT_EQ(BccCheck(r.p, "ABC\x03"), "\x40");
  EXPECT_EQ(BccCheck(r.p, "x"), std::string(1, '\0'));
  EXPECT_EQ(BccCheck(r.p, ""), std::string(1, '\0'));
  EXPECT_EQ(r.p.state.ProcName, "BccCheck");
}

TEST(SendToBHT, WaitsTheSendDelayThenWrites) {
  LinkRig r;
  r.p.settings.SendDelayMs = 40;
  double writtenAt = 0;
  r.comm.onOutput = [&](const std::string&) { writtenAt = r.clock.now; };
  const double start = r.clock.now;
  EXPECT_EQ(SendToBHT(r.p, "\x05"), 0);
  EXPECT_EQ(r.comm.sent, "\x05");
  EXPECT_NEAR(writtenAt - start, 0.040, 1e-9);

  r.p.settings.SendDelayMs = -7;  // never an endless or negative pause
  const double before = r.clock.now;
  EXPECT_EQ(SendToBHT(r.p, "x"), 0);
  EXPECT_NEAR(r.clock.now, before, 1e-9);
}

TEST(SendToBHT, PortEvents) {
  struct Case {
    int16_t event, result;
    bool discards;  // the queued output is given up
  };
  const Case cases[] = {
      {1, 0, false},       {1000, 1000, false}, {1001, 0, true},
      {1002, 1002, false}, {1005, 1005, false}, {1010, 1010, false},
      {1011, 0, true},     {0, 0, true},        {999, 0, true},
  };
  for (const Case& c : cases) {
    LinkRig r;
    r.comm.nextEvent = c.event;
    EXPECT_EQ(SendToBHT(r.p,
                        "\x02"
                        "DATA\x03"),
              c.result)
        << c.event;
    EXPECT_EQ(r.p.state.LastResult, c.event);
    const bool discarded = !r.comm.writes.empty() && r.comm.writes.back() == "OutputCount=0";
    EXPECT_EQ(discarded, c.discards) << c.event;
  }
}

TEST(WaitAnswerBHT, FirstCharacterOfAChunkDecides) {
  struct Case {
    std::string chunk;
    int16_t answer;
  };
  const Case cases[] = {
      {"\x06", kAnswerAck},         {"\x15", kAnswerNak},         {"\x05", kAnswerEnq},
      {"\x04", kAnswerEot},         {"\x06junk\x15", kAnswerAck}, {"\x15\x06", kAnswerNak},
      {"x\x06", kAnswerTimeout},    {"\x07", kAnswerTimeout},     {"", kAnswerTimeout},
      {"\x02\x06", kAnswerTimeout},
  };
  for (const Case& c : cases) {
    LinkRig r;
    if (!c.chunk.empty()) r.comm.Reply(c.chunk, 0.5);
    EXPECT_EQ(WaitAnswerBHT(r.p), c.answer) << testing::PrintToString(c.chunk);
    EXPECT_EQ(r.p.state.ProcName, "WaitAnswerBHT");
  }
}

TEST(WaitAnswerBHT, IgnoredChunksDoNotRestartTheThreeSeconds) {
  LinkRig r;
  r.comm.Reply("noise", 2.0);
  r.comm.Reply("\x06", 3.5);
  EXPECT_EQ(WaitAnswerBHT(r.p), kAnswerTimeout);
  EXPECT_EQ(WaitAnswerBHT(r.p), kAnswerAck);  // the next wait still gets it
}

TEST(WaitAnswerBHT, LaterChunkAfterNoiseCounts) {
  LinkRig r;
  r.comm.Reply("noise", 1.0);
  r.comm.Reply("\x15", 2.0);
  EXPECT_EQ(WaitAnswerBHT(r.p), kAnswerNak);
  EXPECT_EQ(r.p.state.LastAnswer, "\x15");
}

TEST(WaitAnswerBHT, EotLeavesTheCounterOneBelowItsLimit) {
  LinkRig r;
  r.p.settings.TimeoutCount = 20;
  r.comm.Reply("\x04");
  EXPECT_EQ(WaitAnswerBHT(r.p), kAnswerEot);
  EXPECT_EQ(r.p.state.TimeoutCounter, 19);
}

TEST(WaitAnswerBHT, CancelDuringTheWaitOnly) {
  LinkRig r;
  r.p.state.AbortFlag = true;  // pressed before the wait: forgotten
  r.comm.Reply("\x06", 0.2);
  EXPECT_EQ(WaitAnswerBHT(r.p), kAnswerAck);

  r.window.Bind([&] { r.p.state.AbortFlag = true; }, nullptr);
  r.window.cancelAt = r.clock.now + 1.0;
  r.comm.Reply("\x06", 2.0);
  EXPECT_EQ(WaitAnswerBHT(r.p), kAnswerCancel);
}

TEST(WaitAnswerBHT, TimesOutAfterThreeSecondsOfProgramTime) {
  LinkRig r;
  const double start = r.clock.now;
  EXPECT_EQ(WaitAnswerBHT(r.p), kAnswerTimeout);
  EXPECT_GE(r.clock.now - start, 3.0);
  EXPECT_LT(r.clock.now - start, 3.1);
  EXPECT_DOUBLE_EQ(r.p.state.WaitStart, start);
}

}  // namespace
}  // namespace telvaro3
