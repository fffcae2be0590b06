// Driving the component's YModem facility: start waits, progress display, cancel and outcomes.

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "receive/receive.h"
#include "send/send.h"
#include "settings/procedures.h"
#include "support/fakes.h"

namespace telvaro3 {
namespace {

using test::TestRig;

// A rig whose component moves `size` bytes in steps of `step` per poll once started at `startAt`.
struct YRig : TestRig {
  YRig(int32_t size, int32_t step, double startAt = 0.5) {
    SetDefaults(p);
    window.Bind([this] { p.state.AbortFlag = true; }, [this] { Form1_YModemTimer_Timer(p); });
    comm.ymSize = size;
    comm.ymState = 1;
    comm.onTransferPoll = [this, size, step, startAt] {
      if (comm.ymCancel) {
        comm.ymState = 0;
        return;
      }
      if (clock.now < start + startAt || comm.ymState <= 0 || comm.ymState == 5) return;
      // One step per pass of the program's loop; the first byte shows for a few passes.
      if (clock.now == lastStep) return;
      lastStep = clock.now;
      if (comm.ymBytes == 1 && ++held < 4) return;
      if (peerFailsAt >= 0 && comm.ymBytes >= peerFailsAt) {
        comm.ymState = failState;
        return;
      }
      comm.ymState = 4;
      if (comm.ymBytes >= size) {
        comm.ymState = finishes ? 0 : 4;
        return;
      }
      comm.ymBytes = comm.ymBytes == 0 ? 1 : std::min(size, comm.ymBytes + step);
    };
  }
  double start = clock.now;
  double lastStep = -1;
  int held = 0;
  bool finishes = true;
  int32_t peerFailsAt = -1;
  int32_t failState = -1;
};

TEST(TransmitYModem, SizesAndPercentages) {
  struct Case {
    int32_t size;
    const char* sizeText;
  };
  const std::vector<Case> cases = {{3000, " 00003"}, {2560, " 00002"}, {1000000, " 00977"}};
  for (const auto& c : cases) {
    YRig r(c.size, c.size / 50);
    SCOPED_TRACE(c.size);
    r.p.file.Name = "MENU.PD4";
    r.p.file.ProgramFile = true;
    EXPECT_EQ(TransmitYModem(r.p), 0);
    EXPECT_EQ(r.comm.ymSendPath, "MENU.PD4");
    EXPECT_EQ(r.window.Get(Field::StatusBox), "Sending Program ");
    EXPECT_EQ(r.window.Get(Field::RecordsBox), c.sizeText);
    EXPECT_EQ(r.window.Get(Field::complete), " 100%");
    EXPECT_EQ(r.window.progress, 100);
    // The first percentage shown is 1, never 0.
    for (const auto& line : r.window.log)
      if (line.rfind("complete: ", 0) == 0) {
        EXPECT_EQ(line, "complete:  1%");
        break;
      }
    EXPECT_EQ(r.p.file.RecordLength, 1024);
  }
}

TEST(TransmitYModem, Outcomes) {
  struct Case {
    const char* what;
    double startAt;
    int32_t failAt;
    int32_t failState;
    double cancelAt;  // seconds after the start, or -1
    int16_t code;
  };
  const std::vector<Case> cases = {
      {"receiver never starts", 1e9, -1, -1, -1, 51},
      {"cancel during the start wait", 1e9, -1, -1, 5.0, 90},
      {"cancel mid-transfer", 0.5, -1, -1, 0.6, 90},
      {"peer cancels mid-transfer", 0.5, 500, -1, -1, 53},
      {"transfer stopped", 0.5, 500, 5, -1, 55},
  };
  for (const auto& c : cases) {
    YRig r(100000, 100, c.startAt);
    SCOPED_TRACE(c.what);
    r.p.file.Name = "DATA.TXT";
    r.peerFailsAt = c.failAt;
    r.failState = c.failState;
    if (c.cancelAt >= 0) r.window.cancelAt = r.clock.now + c.cancelAt;
    EXPECT_EQ(TransmitYModem(r.p), c.code);
    if (c.code == 90) {
      EXPECT_TRUE(r.comm.ymCancel);
    }
    if (c.code == 51) {
      EXPECT_NEAR(r.clock.now - r.start, 30.0, 0.1);
    }
    EXPECT_FALSE(r.window.timerEnabled);
  }
  // The component failing straight after the start wait.
  YRig r(100, 100);
  r.comm.onTransferPoll = [&] {
    r.comm.ymBytes = 1;
    r.comm.ymState = -1;
  };
  EXPECT_EQ(TransmitYModem(r.p), 99);
}

TEST(ReceiveYModem, NamesDisplayAndOutcomes) {
  YRig r(10, 1);
  r.comm.ymPath = "C:\\IN\\ORDERS.BHT";
  r.p.file.Directory = "C:\\IN\\";
  EXPECT_EQ(ReceiveYModem(r.p), 0);
  EXPECT_EQ(r.comm.ymReceiveDir, "C:\\IN\\");
  EXPECT_EQ(r.p.file.Name, "ORDERS.BHT");
  EXPECT_EQ(r.window.Get(Field::FileBox), "ORDERS.BHT");
  EXPECT_EQ(r.window.Get(Field::StatusBox), "Receiving File ");
  EXPECT_EQ(r.window.Get(Field::RecordsBox), " 00000");
  // Ten bytes of ten: the formula uses b - 1, so it shows 90.
  EXPECT_EQ(r.window.Get(Field::complete), " 90%");

  struct Case {
    const char* what;
    const char* path;
    double startAt;
    int32_t failAt;
    int32_t failState;
    double cancelAt;
    int16_t code;
  };
  const std::vector<Case> cases = {
      {"sender never starts", "X\\A.TXT", 1e9, -1, -1, -1, 52},
      {"a name the check refuses", "X\\BAD+NAME.TXT", 0.5, -1, -1, -1, 70},
      {"a name too long", "X\\LONGNAME12.TXT", 0.5, -1, -1, -1, 70},
      {"sender cancels", "X\\A.TXT", 0.5, 500, -1, -1, 54},
      {"stopped", "X\\A.TXT", 0.5, 500, 5, -1, 55},
      {"cancel mid-transfer", "X\\A.TXT", 0.5, -1, -1, 0.7, 90},
      {"cancel while waiting", "X\\A.TXT", 1e9, -1, -1, 3.0, 90},
  };
  for (const auto& c : cases) {
    YRig q(100000, 100, c.startAt);
    SCOPED_TRACE(c.what);
    q.comm.ymPath = c.path;
    q.peerFailsAt = c.failAt;
    q.failState = c.failState;
    if (c.cancelAt >= 0) q.window.cancelAt = q.clock.now + c.cancelAt;
    EXPECT_EQ(ReceiveYModem(q.p), c.code);
    EXPECT_EQ(q.comm.ymReceiveDir, q.system.CurrentDirectory());
    if (c.code == 70 || c.code == 90) {
      EXPECT_TRUE(q.comm.ymCancel);
    }
  }
}

TEST(ReceiveYModem, SecondFileOfABatchShowsItsName) {
  YRig r(2000, 100);
  r.comm.ymPath = "IN\\FIRST.TXT";
  r.comm.onTransferPoll = [&, inner = r.comm.onTransferPoll] {
    inner();
    if (r.comm.ymBytes >= 1000) r.comm.ymPath = "IN\\SECOND.TXT";
  };
  EXPECT_EQ(ReceiveYModem(r.p), 0);
  EXPECT_EQ(r.window.Get(Field::FileBox), "SECOND.TXT");
  EXPECT_EQ(r.p.file.Name, "SECOND.TXT");
}

}  // namespace
}  // namespace telvaro3
