// The line's timing rules on a clock of the test's own: what of the output is still on the
// line, when a wait wakes up to see it leave, when input can be in, and when a look at the input
// must ask the device.

#include "serial/line_clock.h"

#include <gtest/gtest.h>

#include <chrono>
#include <tuple>
#include <utility>
#include <vector>

namespace {

using telvaro3::serial::LineClock;

const LineClock::Time kStart = LineClock::Time{} + std::chrono::hours(1);

const auto At = [](int64_t us) { return kStart + std::chrono::microseconds(us); };
const auto UsOf = [](LineClock::Time t) {
  return std::chrono::duration<double, std::micro>(t - kStart).count();
};

// What happens on the line before the look, at a time in microseconds from the opening.
struct Event {
  enum Kind { kWrite, kAnswer, kDiscard, kSettle, kCount, kLooked } kind;
  int64_t us;
  int n = 0;  // kWrite: characters written; kCount: what the device holds then; kLooked: times
};
using enum Event::Kind;

void Play(LineClock& clock, const std::vector<Event>& events) {
  for (const Event& e : events) {
    if (e.kind == kWrite) {
      clock.Writing();
      clock.Written(static_cast<size_t>(e.n), At(e.us));
    }
    if (e.kind == kAnswer) clock.Answered(At(e.us));
    if (e.kind == kDiscard) clock.Discarded(At(e.us));
    if (e.kind == kSettle) clock.Settle();
    if (e.kind == kCount) clock.OutputCount(At(e.us), [&] { return e.n; });
    // A look when input was due: at 0 us it found the input all in, at 1 us it came too early.
    for (int i = 0; e.kind == kLooked && i < e.n; ++i) clock.InputLooked(e.us == 0);
  }
}

TEST(LineClockTest, OutputCountAndWakeUp) {
  // At 9600 baud and 10 bits a character, one takes 1041.7 us; at 115200, 86.8 us. Columns:
  // baud, bits, events, when the output count and the wake-up are asked for (us), what the device
  // holds then, the count, whether it asks the device, the wake-up for pending output (-1: none).
  using Row =
      std::tuple<const char*, int, int, std::vector<Event>, int64_t, int, int32_t, bool, double>;
  // clang-format off
  const std::vector<Row> rows = {
      {"an idle line asks the device", 9600, 10, {}, 0, 0, 0, true, -1},
      {"half way through ten characters", 9600, 10, {{kWrite, 0, 10}}, 5000, 9, 5, false, 12416.7},
      {"one character counts as sent at once", 9600, 10, {{kWrite, 0, 1}}, 0, 1, 0, false, 3041.7},
      {"writes follow each other on the line", 9600, 10,
       {{kWrite, 0, 10}, {kWrite, 5000, 10}}, 10000, 0, 10, false, 22833.3},
      {"a write on an idle line starts at once", 9600, 10,
       {{kWrite, 0, 1}, {kWrite, 50000, 10}}, 55000, 0, 5, false, 62416.7},
      {"past the line time the device's queue counts", 9600, 10,
       {{kWrite, 0, 10}}, 20000, 3, 3, true, 23125},
      {"a short queue wakes 1 ms on", 115200, 10, {{kWrite, 0, 10}}, 5000, 1, 1, true, 6000},
      {"an empty queue stays empty until the next write", 9600, 10,
       {{kWrite, 0, 10}, {kCount, 20000, 0}}, 30000, 5, 0, false, 35208.3},
      {"the next write counts again", 9600, 10,
       {{kWrite, 0, 10}, {kCount, 20000, 0}, {kWrite, 30000, 10}}, 35000, 5, 5, false, 42416.7},
      {"an answer ends the output's line time", 9600, 10,
       {{kWrite, 0, 100}, {kAnswer, 1000}}, 1000, 7, 0, false, 8291.7},
      {"an answer with nothing written leaves the device to count", 9600, 10,
       {{kAnswer, 0}}, 0, 4, 4, true, -1},
      {"an answer to discarded output", 9600, 10,
       {{kWrite, 0, 100}, {kDiscard, 1000}, {kAnswer, 2000}}, 3000, 2, 2, true, -1},
      {"discarding ends the line time", 9600, 10,
       {{kWrite, 0, 100}, {kDiscard, 1000}}, 1000, 0, 0, true, -1},
      {"an answer pulls the line time back to the clock", 9600, 10,
       {{kWrite, 0, 100}, {kAnswer, 1000}, {kWrite, 2000, 10}}, 7000, 0, 5, false, 14416.7},
      {"300 baud, 11 bits a character", 300, 11, {{kWrite, 0, 4}}, 100000, 0, 1, false, 148666.7},
      {"settled: no wake-up", 9600, 10, {{kWrite, 0, 10}, {kSettle, 0}}, 5000, 0, 5, false, -1},
      {"without a rate only the device counts", 0, 10, {{kWrite, 0, 10}}, 0, 6, 6, true, 1000},
  };
  // clang-format on
  for (const auto& [what, baud, bits, events, us, deviceQueue, count, countAsks, dueUs] : rows) {
    SCOPED_TRACE(what);
    LineClock clock;
    clock.Open(baud, bits, kStart);
    Play(clock, events);
    const auto due = clock.OutputDue(At(us), [&] { return deviceQueue; });
    EXPECT_NEAR(due ? UsOf(*due) : -1.0, dueUs, 1.0);
    bool asked = false;
    const auto device = [&] {
      asked = true;
      return deviceQueue;
    };
    EXPECT_EQ(clock.OutputCount(At(us), device), count);
    EXPECT_EQ(asked, countAsks);
  }
}

TEST(LineClockTest, InputDue) {
  // A character at 9600 baud, 10 bits, in microseconds; five missing asked for at 1000 us are
  // due when all but the last have come.
  const double ch = 10416.67 / 10, base = 1000 + 4 * ch;
  // What, the events, the characters missing, when it is asked (us), when they are due (us).
  // clang-format off
  const std::vector<std::tuple<const char*, std::vector<Event>, size_t, int64_t, double>> rows = {
      {"all but the last of the missing characters", {}, 5, 1000, base},
      {"input that answers output on the line follows it whole", {{kWrite, 0, 10}}, 5, 1000,
       (10 + 5) * ch},
      {"output that has left delays nothing", {{kWrite, 0, 1}}, 3, 5000, 5000 + 2 * ch},
      {"a look too early waits a step longer next time", {{kLooked, 1, 1}}, 5, 1000, base + 10},
      {"then a quarter more and a step each time", {{kLooked, 1, 5}}, 5, 1000, base + 82.07},
      {"a look in time takes a quarter off", {{kLooked, 1, 5}, {kLooked, 0, 1}}, 5, 1000,
       base + 61.55},
      {"a peer far behind is waited for at most 10 ms more", {{kLooked, 1, 60}}, 5, 1000,
       base + 10000},
      {"the lag also delays input that answers output", {{kWrite, 0, 10}, {kLooked, 1, 1}}, 5, 1000,
       (10 + 5) * ch + 10},
  };
  // clang-format on
  for (const auto& [what, events, missing, us, dueUs] : rows) {
    SCOPED_TRACE(what);
    LineClock clock;
    clock.Open(9600, 10, kStart);
    Play(clock, events);
    EXPECT_NEAR(UsOf(clock.InputDue(missing, At(us))), dueUs, 1.0);
  }
}

TEST(LineClockTest, WhenALookAsksTheDevice) {
  // 'L' a look emptied the device, 'F' a look found it failed, 'W' a wait ended with poll result
  // `r`, 'T' a look is taken: whether it asks the device is `asks`.
  using Step = std::tuple<char, int64_t, int, bool>;  // op, us, r, asks
  // clang-format off
  const std::vector<std::pair<const char*, std::vector<Step>>> rows = {
      {"the first look after opening", {{'T', 0, 0, true}}},
      {"within a character of an empty device", {{'L', 0, 0, false}, {'T', 500, 0, false}}},
      {"a character after it", {{'L', 0, 0, false}, {'T', 1100, 0, true}}},
      {"after a wait that saw nothing, however late, once",
       {{'L', 0, 0, false}, {'W', 0, 0, false}, {'T', 50000, 0, false}, {'T', 50000, 0, true}}},
      {"and within a character of its end",
       {{'W', 0, 0, false}, {'T', 0, 0, false}, {'T', 500, 0, false}, {'T', 1100, 0, true}}},
      {"after a wait that saw input",
       {{'L', 0, 0, false}, {'W', 0, 1, false}, {'T', 100, 0, true}}},
      {"an interrupted wait is not quiet",
       {{'L', 0, 0, false}, {'W', 0, -1, false}, {'T', 1100, 0, true}}},
      {"nor does it forget the last look",
       {{'L', 0, 0, false}, {'W', 0, -1, false}, {'T', 100, 0, false}}},
      {"a failed look ends the quiet", {{'W', 0, 0, false}, {'F', 0, 0, false}, {'T', 0, 0, true}}},
  };
  // clang-format on
  for (const auto& [what, steps] : rows) {
    SCOPED_TRACE(what);
    LineClock clock;
    clock.Open(9600, 10, kStart);
    for (const auto& [op, us, r, asks] : steps) {
      if (op == 'L') clock.Looked(At(us));
      if (op == 'F') clock.LookFailed();
      if (op == 'W') clock.WaitEnded(r, At(us));
      if (op != 'T') continue;
      EXPECT_EQ(clock.TakeLook(At(us)), asks) << "at " << us;
    }
  }
}

}  // namespace
