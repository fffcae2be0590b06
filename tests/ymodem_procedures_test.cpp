// Driving the component's YModem facility: start waits, progress display, cancel and outcomes.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <tuple>

#include "link/ymodem_watch.h"
#include "receive/receive.h"
#include "send/send.h"
#include "settings/procedures.h"
#include "support/fakes.h"

namespace telvaro3 {
namespace {

// A rig whose component moves `size` bytes in steps of 100, one step per pass of the program's
// loop, from `startAt` seconds on; it fails with failState once failAt bytes moved. With
// `announce` it first holds the file (state 2) until the program accepts its path; with a
// startFault it fails at startAt for that cause. From lostAt seconds on (when not negative) the
// device is gone: the port reports it and the component fails, as on a hang-up.
struct YRig : test::TestRig {
  YRig(int32_t size, double startAt = 0.5) {
    window.Bind([this] { p.state.AbortFlag = true; }, [this] { Form1_YModemTimer_Timer(p); });
    comm.ymSize = size;
    comm.ymState = 1;
    comm.onTransferPoll = [this, size, startAt] {
      if (comm.ymCancel) comm.ymState = 0;
      if (pathAt >= 0 && clock.now >= start + pathAt) comm.ymPath = latePath;
      if (lostAt >= 0 && clock.now >= start + lostAt && comm.ymState > 0) {
        comm.portFault = 1008;
        comm.ymState = -1;
      }
      if (clock.now < start + startAt || comm.ymState <= 0 || comm.ymState == 5) return;
      if (startFault != TransferFault::kNone) {
        comm.ymFault = startFault;
        comm.ymState = -1;
      } else if (announce &&
                 (comm.ymAccepted != comm.ymPath || (pathAt >= 0 && comm.ymPath != latePath))) {
        comm.ymState = 2;
      } else if (clock.now != lastStep) {
        lastStep = clock.now;
        comm.ymState =
            failAt >= 0 && comm.ymBytes >= failAt ? failState : (comm.ymBytes >= size ? 0 : 4);
        if (comm.ymState == 4) comm.ymBytes = std::min(size, comm.ymBytes + 100);
      }
    };
  }
  double start = clock.now, lastStep = -1, lostAt = -1;
  double pathAt = -1;    // the path of an announced file is readable only from then on
  std::string latePath;  // with pathAt: the path until then is empty
  int32_t failAt = -1, failState = -1;
  bool announce = false;
  TransferFault startFault = TransferFault::kNone;
};

TEST(YModemProcedures, Outcomes) {
  using enum TransferFault;
  // What, whether it is a send, the path the component reports while receiving, when it starts
  // (seconds), after how many bytes it fails and its state then (-1: never), when Cancel is pressed
  // (seconds after the start, -1: never), the code, then a fault at the start, when the device
  // goes away (-1: never), and a path readable only a second after the announcement.
  using Case = std::tuple<const char*, bool, const char*, double, int32_t, int32_t, double, int16_t,
                          TransferFault, double, const char*>;
  const Case cases[] = {
      {"receiver never starts", true, "", 1e9, -1, -1, -1, 51, kNone, -1, nullptr},
      {"cancel mid-send", true, "", 0.5, -1, -1, 0.6, 90, kNone, -1, nullptr},
      {"receiver cancels", true, "", 0.5, 500, -1, -1, 53, kNone, -1, nullptr},
      {"send stopped", true, "", 0.5, 500, 5, -1, 55, kNone, -1, nullptr},
      {"sender never starts", false, "X\\A.TXT", 1e9, -1, -1, -1, 52, kNone, -1, nullptr},
      {"a name the check refuses", false, "X\\BAD+NAME", 0.5, -1, -1, -1, 70, kNone, -1, nullptr},
      {"a name the component refuses", false, "", 0.5, -1, -1, -1, 70, kNameRefused, -1, nullptr},
      {"no receive directory", false, "", 0.5, -1, -1, -1, 71, kFileFailed, -1, nullptr},
      {"sender cancels", false, "X\\A.TXT", 0.5, 500, -1, -1, 54, kNone, -1, nullptr},
      {"receive stopped", false, "X\\A.TXT", 0.5, 500, 5, -1, 55, kNone, -1, nullptr},
      {"cancel while waiting", false, "X\\A.TXT", 1e9, -1, -1, 3.0, 90, kNone, -1, nullptr},
      // A device gone ends a start wait at once, as it does a transfer under way.
      {"gone, no receiver yet", true, "", 1e9, -1, -1, -1, 1008, kNone, 2.0, nullptr},
      {"gone mid-send", true, "", 0.5, -1, -1, -1, 1008, kNone, 1.0, nullptr},
      {"gone, no sender yet", false, "X\\A.TXT", 1e9, -1, -1, -1, 1008, kNone, 2.0, nullptr},
      {"gone mid-receive", false, "X\\A.TXT", 0.5, -1, -1, -1, 1008, kNone, 1.0, nullptr},
      // A file announced before its path can be read waits for the path, not refused unnamed.
      {"a path told late", false, "", 0.5, -1, -1, -1, 0, kNone, -1, "X\\A.TXT"},
  };
  for (const auto& [what, send, path, startAt, failAt, failState, cancelAt, code, startFault,
                    lostAt, latePath] : cases) {
    SCOPED_TRACE(what);
    YRig r(100000, startAt);
    r.p.file.Name = "DATA.TXT";
    r.comm.ymPath = path;
    r.failAt = failAt;
    r.failState = failState;
    r.announce = !send;  // a receiving component holds each file until the name is judged
    r.startFault = startFault;
    r.lostAt = lostAt;
    if (latePath) r.latePath = latePath, r.pathAt = startAt + 1.0;
    if (cancelAt >= 0) r.window.cancelAt = r.clock.now + cancelAt;
    EXPECT_EQ(send ? TransmitYModem(r.p) : ReceiveYModem(r.p), code);
    // A cancel, a name the program refuses and a start that never came must all let go of the
    // port; a component that failed has let go itself.
    const bool timedOut = code == 51 || code == 52;
    const bool judged = code == 70 && startFault == kNone;
    EXPECT_EQ(r.comm.ymCancel, code == 90 || judged || timedOut);
    EXPECT_TRUE(!timedOut || std::abs(r.clock.now - r.start - 30.0) < 0.1);  // ten 3 s ticks
    EXPECT_TRUE(startFault == kNone || r.clock.now - r.start < 3.0);         // not a tick later
    EXPECT_TRUE(lostAt < 0 || r.clock.now - r.start < lostAt + 0.1);         // at once
    EXPECT_TRUE(cancelAt < 0 || r.clock.now - r.start < cancelAt + 1.0);     // so does Cancel
    // A refused name is refused before any of its file is let through.
    EXPECT_TRUE(!judged || (r.comm.ymAccepted.empty() && r.comm.ymBytes == 0));
    EXPECT_EQ(r.comm.ymReceiveDir, send ? "" : r.system.CurrentDirectory());
    EXPECT_FALSE(r.window.timerEnabled);
    // The first hundred bytes of 100000 show as 1 %, never 0 %, once the data flow.
    EXPECT_EQ(std::ranges::count(r.window.log, "complete:  1%") > 0, r.comm.ymBytes > 0);
  }
  YRig r(100);  // the component failing straight after the start wait
  r.comm.onTransferPoll = [&] { r.comm.ymBytes = 1, r.comm.ymState = -1; };
  EXPECT_EQ(TransmitYModem(r.p), 99);
}

// The counters are drawn while the component is seen busy; one that ends between two polls, or
// before any poll saw it busy (a short file), must still leave the whole file in the window.
TEST(YModemProcedures, AGoodEndShowsTheWholeFile) {
  // Whether it is a send, the file's name and size, the count seen while busy before the end (0:
  // never seen busy), the size as the window shows it, and the status. Ends: start straight to
  // done, done between two polls, and (last) a component that stays busy with every byte counted,
  // left after ten looks.
  const std::tuple<bool, const char*, int32_t, int32_t, const char*, const char*> cases[] = {
      {false, "A.TXT", 40000, 0, " 00039", "Receiving File "},
      {false, "A.PD3", 300000, 288000, " 00293", "Receiving Program "},
      {false, "A.TXT", 0, 0, " 00000", "Receiving File "},  // an empty file
      {true, "MENU.PD4", 40000, 0, " 00039", "Sending Program "},
      {true, "DATA.TXT", 300000, 288000, " 00293", "Sending File "},
      {true, "DATA.TXT", 300000, 300000, " 00293", "Sending File "}};
  for (const auto& [send, name, size, busyBytes, kilo, status] : cases) {
    SCOPED_TRACE(std::string(name) + " " + std::to_string(busyBytes));
    YRig r(size);
    r.p.file.Name = name;
    ASSERT_EQ(send ? CheckFilename(r.p) : 0, 0);
    r.comm.ymPath = std::string("IN\\") + name;
    // Busy for a while; with every byte counted, for longer than the procedure looks.
    int busyPolls = busyBytes <= 0 ? 0 : (busyBytes < size ? 20 : 1000);
    r.comm.onTransferPoll = [&] {
      if (r.clock.now < r.start + 0.5 || r.comm.ymState == 0) return;
      if (!send && r.comm.ymAccepted != r.comm.ymPath) {
        r.comm.ymState = 2;  // a receiving component holds the file until its name is judged
      } else if (busyPolls-- > 0) {
        r.comm.ymState = 4;
        r.comm.ymBytes = busyBytes;
      } else {
        r.comm.ymState = 0;
        r.comm.ymBytes = std::max(size, 1);  // an empty file counts 1 once it has come
      }
    };
    EXPECT_EQ(send ? TransmitYModem(r.p) : ReceiveYModem(r.p), 0);
    EXPECT_EQ(r.window.Text(Field::StatusBox), status);
    EXPECT_EQ(r.window.Text(Field::FileBox), name);
    // The count seen while busy was shown before the whole file.
    EXPECT_EQ(std::ranges::count(r.window.log, "RecCntBox:  00281") == 1,
              busyBytes > 0 && busyBytes < size);
    EXPECT_EQ(r.window.Text(Field::RecordsBox), kilo);
    EXPECT_EQ(r.window.Text(Field::RecCntBox), kilo);
    EXPECT_EQ(r.window.Text(Field::complete), " 100%");
    EXPECT_EQ(r.window.progress, 100);
  }
}

TEST(ReceiveYModem, JudgesAndShowsEachFileOfABatch) {
  // The batch's second file is judged as the first was and shown by its name; with a name the
  // check refuses, the transfer is cancelled before any of that file is let through.
  for (const auto& [second, code] : {std::pair{"SECOND.TXT", 0}, {"BAD+NAME", 70}}) {
    SCOPED_TRACE(second);
    YRig r(2000);
    r.announce = true;
    r.comm.ymPath = "C:\\IN\\FIRST.TXT";
    r.p.file.Directory = "C:\\IN\\";
    r.comm.onTransferPoll = [&, inner = r.comm.onTransferPoll] {
      inner();
      if (r.comm.ymBytes >= 1000) r.comm.ymPath = std::string("C:\\IN\\") + second;
    };
    EXPECT_EQ(ReceiveYModem(r.p), code);
    EXPECT_EQ(r.comm.ymReceiveDir, "C:\\IN\\");
    EXPECT_EQ(r.comm.ymCancel, code != 0);
    EXPECT_EQ(r.comm.ymAccepted == r.comm.ymPath, code == 0);
    EXPECT_EQ(r.window.Text(Field::FileBox), second);  // the file shown, or the one refused
  }
}

}  // namespace
}  // namespace telvaro3
