// The block-protocol primitives: sending with port events, and waiting for the answer.

#include "link/link.h"

#include <gtest/gtest.h>

#include <tuple>

#include "support/fakes.h"

namespace telvaro3 {
namespace {

using LinkRig = test::TestRig;

TEST(SendToBHT, WaitsTheDelayAndUntilTheOutputHasLeftThenReadsTheEvent) {
  // The port event, the result and the last result, whether the queued output is given up,
  // seconds per byte in the queue, when Cancel is pressed, when the send returns, and the pause.
  // 100 bytes at 19200 baud: the limit is 5 s beyond their line time at 12 bits a character.
  const std::vector<std::tuple<int16_t, int16_t, int16_t, bool, double, double, double, int>>
      cases = {{1, 0, 1, false, 0, -1, 0, 0},      {1000, 1000, 1000, false, 0, -1, 0, 0},
               {1001, 0, 1001, true, 0, -1, 0, 0}, {1010, 1010, 1010, false, 0, -1, 0, 0},
               {1011, 0, 1011, true, 0, -1, 0, 0}, {0, 0, 0, true, 0, -1, 0, 0},
               {1, 0, 1, false, 0, -1, 0.04, 40},  {1, 0, 1, false, 0, -1, 0, -500},
               {1, 0, 1, false, 0.01, -1, 1.0, 0}, {1, 0, 0, true, 0.01, 0.3, 0.3, 0},
               {1, 0, 0, true, 1e6, -1, 5.0625, 0}};
  for (const auto& [event, result, last, discards, perByte, cancel, seconds, delay] : cases) {
    SCOPED_TRACE(::testing::Message() << event << "/" << perByte << "/" << delay);
    LinkRig r;
    r.p.settings.SendDelayMs = delay;
    r.comm.nextEvent = event;
    r.comm.secondsPerByte = perByte;
    const double start = r.clock.now;
    if (cancel >= 0) r.window.cancelAt = start + cancel;
    // A wait without end gives up here rather than hang the test.
    r.comm.onIdle = [&] { r.p.state.AbortFlag = r.p.state.AbortFlag || r.clock.now > start + 60; };
    EXPECT_EQ(SendToBHT(r.p, std::string(100, 'x')), result);
    EXPECT_NEAR(r.clock.now - start, seconds, 0.02);
    EXPECT_EQ(r.p.state.LastResult, last);
    EXPECT_EQ(!r.comm.writes.empty() && r.comm.writes.back() == "OutputCount=0", discards);
    EXPECT_EQ(r.comm.OutputCount(), 0);
    EXPECT_EQ(r.p.state.AbortFlag, cancel >= 0);  // seen, not cleared
  }
}

TEST(SendToBHT, InputAfterTheWriteEndsTheWaitForTheOutput) {
  // A 100-byte write at 300 baud is 4 s on the line by the port's estimate, after a send delay
  // of 40 ms. Input that comes during it (at `answerAt` seconds after the write) proves the data
  // has left; input that came before the write (`stale`, at `staleAt` seconds, during the delay
  // or before it) proves nothing and shortens neither the delay nor the wait. `seconds`: when the
  // send returns; `looks`: how many times at most it looked at the window meanwhile (no wait
  // that ends at once, again and again).
  const std::vector<std::tuple<const char*, double, double, double, int>> cases = {
      {"", 0, 0, 0.08, 1},
      {"", 0, 1.0, 1.04, 26},
      {"x", 0, 0, 0.08, 1},
      {"x", 0, -1, 4.04, 101},
      {"x", 0.01, -1, 4.04, 101}};
  for (const auto& [stale, staleAt, answerAt, seconds, looks] : cases) {
    SCOPED_TRACE(std::string(stale) + std::to_string(staleAt) + "/" + std::to_string(answerAt));
    LinkRig r;
    r.p.settings.SendDelayMs = 40;
    r.comm.secondsPerByte = 12.0 / 300;
    r.comm.Reply(stale, staleAt);
    if (answerAt >= 0)
      r.comm.onOutput = [&](const std::string&) { r.comm.Reply("\x06", answerAt); };
    const double start = r.clock.now;
    EXPECT_EQ(SendToBHT(r.p, std::string(100, 'x')), 0);
    EXPECT_NEAR(r.clock.now - start, seconds, 0.001);
    EXPECT_LE(r.window.doEventsCalls, looks);
    EXPECT_EQ(r.p.state.LastResult, 1);  // sent, and nothing discarded
    EXPECT_TRUE(r.comm.writes.empty());
    EXPECT_EQ(r.comm.InputData(), stale + std::string(answerAt >= 0 ? "\x06" : ""));
  }
}

TEST(WaitAnswerBHT, TheAnswerClockStartsOnceTheBlockHasLeft) {
  // A 108-byte block at 300 baud is 3.6 s on the line, longer than the answer wait.
  LinkRig r;
  r.comm.secondsPerByte = 10.0 / 300;
  const double leftAt = r.clock.now + 108 * r.comm.secondsPerByte;
  r.comm.onOutput = [&](const std::string&) { r.comm.Reply("\x06", leftAt - r.clock.now + 0.5); };
  EXPECT_EQ(SendToBHT(r.p, "\x02" + std::string(106, 'x') + "\x03"), 0);
  EXPECT_EQ(WaitAnswerBHT(r.p), kAnswerAck);
  EXPECT_GE(r.p.state.WaitStart, leftAt);
}

TEST(WaitAnswerBHT, FirstCharacterOfAChunkDecidesWithinThreeSeconds) {
  // Noise, then a chunk that arrives `at` seconds into the wait, the noise 1.5 s before it (noise
  // neither decides nor restarts the three seconds); Cancel counts during the wait (at `cancel`
  // seconds), not before it (0).
  const std::vector<std::tuple<const char*, const char*, double, double, int16_t>> cases = {
      {"", "\x06", .5, -1, kAnswerAck},         {"", "\x15", .5, -1, kAnswerNak},
      {"", "\x05", .5, -1, kAnswerEnq},         {"", "\x04", .5, -1, kAnswerEot},
      {"", "\x06junk\x15", .5, -1, kAnswerAck}, {"", "x\x06", .5, -1, kAnswerTimeout},
      {"", "", .5, -1, kAnswerTimeout},         {"", "\x02\x06", .5, -1, kAnswerTimeout},
      {"noise", "\x15", 2, -1, kAnswerNak},     {"noise", "\x06", 3.5, -1, kAnswerTimeout},
      {"", "\x06", .2, 0, kAnswerAck},          {"", "\x06", 2, 1, kAnswerCancel}};
  for (const auto& [noise, chunk, at, cancel, answer] : cases) {
    LinkRig r;
    SCOPED_TRACE(testing::PrintToString(std::string(noise) + chunk) + std::to_string(cancel));
    r.comm.Reply(noise, at - 1.5);
    r.comm.Reply(chunk, at);
    r.p.state.AbortFlag = cancel == 0;
    if (cancel > 0) r.window.cancelAt = r.clock.now + cancel;
    const double start = r.clock.now;
    EXPECT_EQ(WaitAnswerBHT(r.p), answer);
    const double waited = r.clock.now - start;  // three seconds exactly when nothing decides
    EXPECT_EQ(waited >= 3.0 && waited < 3.1, answer == kAnswerTimeout) << waited;
    // EOT leaves one wait before the limit.
    EXPECT_EQ(r.p.state.TimeoutCounter == r.p.settings.TimeoutCount - 1, answer == kAnswerEot);
    // An unexpected error from here on names the wait.
    EXPECT_EQ(r.p.state.ProcName, "WaitAnswerBHT");
  }
}

}  // namespace
}  // namespace telvaro3
