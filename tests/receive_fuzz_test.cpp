// Random and mutated headings and text blocks from the line: the receiving side never crashes,
// answers only with its own codes, and what it accepts is consistent.

#include <gtest/gtest.h>

#include <random>
#include <set>

#include "link/link.h"
#include "receive/receive.h"
#include "settings/procedures.h"
#include "shell/shell.h"
#include "support/fakes.h"
#include "support/frames.h"

namespace telvaro3 {
namespace {

using test::ACK;
using test::ENQ;
using test::EOT;
using test::Frame;
using test::NAK;
using test::Xor;

struct Fuzzer {
  std::mt19937 rng{20261206};
  int Below(int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); }
  char Byte() {
    // Mostly the characters that matter to the framing and the numbers, sometimes anything.
    static const std::string kInteresting = "\x01\x02\x03\x05\x06\x15 0123456789.-+eE\t\n";
    return Below(3) == 0 ? kInteresting[Below(static_cast<int>(kInteresting.size()))]
                         : static_cast<char>(Below(256));
  }
  std::string Random(int maxLen) {
    std::string s(static_cast<size_t>(Below(maxLen + 1)), ' ');
    for (char& c : s) c = Byte();
    return s;
  }
  // A valid frame with a few of its bytes changed, cut, doubled or extended.
  std::string Mutate(std::string s) {
    for (int n = Below(4); n > 0; --n) {
      if (s.empty()) break;
      const size_t at = static_cast<size_t>(Below(static_cast<int>(s.size())));
      switch (Below(4)) {
        case 0:
          s[at] = Byte();
          break;
        case 1:
          s.erase(at, 1);
          break;
        case 2:
          s.insert(at, 1, Byte());
          break;
        default:
          s.resize(at);
          break;
      }
    }
    return s;
  }
  std::string Digits(int v, int n) {
    std::string s = std::to_string(v);
    return std::string(static_cast<size_t>(n) - s.size(), '0') + s;
  }
  std::string ValidHeading() {
    static const char* kNames[] = {"ORDERS.BHT", "LIST.BHT", "TAKE.PD3", "DATA.TXT", "X.FN3"};
    std::string name = kNames[Below(5)];
    std::string text = name + std::string(12 - name.size(), ' ') + Digits(Below(40000), 5);
    const int fields = Below(18);
    text += Digits(fields, 2);
    for (int i = 0; i < fields; ++i) text += Digits(Below(100), 2);
    return Frame('\x01', text);
  }
};

struct FuzzRig : test::TestRig {
  FuzzRig() { SetDefaults(p); }
  // An empty chunk would stand in the fake port's queue without ever counting as input.
  void Send(const std::string& bytes, double delay = 0) {
    if (!bytes.empty()) comm.Reply(bytes, delay);
  }
};

// Leaves the program as a fresh reception would find it.
void Reset(Program& p) {
  if (p.state.FileCreated) {
    CloseFile(p, 2);
    try {
      p.system.DeleteFile(p.file.Directory + p.file.Name);
    } catch (const RunTimeError&) {
    }
  }
  CloseFile(p, 2);
  p.state.FileCreated = false;
  p.file = TransferFile{};
  p.settings.YModem = false;
  p.state.AbortFlag = false;
}

TEST(ReceiveFuzz, Headings) {
  FuzzRig r;
  Fuzzer fz;
  const std::set<int16_t> allowed = {0, 1, 2, 3, 4, 70, 71, 72, 79};
  int accepted = 0;
  for (int i = 0; i < 6000; ++i) {
    Reset(r.p);
    r.p.settings.BlockCheck = fz.Below(4) != 0;
    std::string bytes;
    switch (fz.Below(3)) {
      case 0:
        bytes = fz.Random(80);
        break;
      case 1:
        bytes = fz.Mutate(fz.ValidHeading());
        break;
      default:
        bytes = fz.ValidHeading();
        break;
    }
    if (!r.p.settings.BlockCheck && !bytes.empty() && fz.Below(2)) bytes.pop_back();
    // Sometimes in pieces, sometimes with more following.
    const size_t cut =
        bytes.empty() ? 0 : static_cast<size_t>(fz.Below(static_cast<int>(bytes.size())));
    r.Send(bytes.substr(0, cut));
    r.Send(bytes.substr(cut), fz.Below(4) * 0.9);
    if (fz.Below(8) == 0) r.Send(fz.Random(6));
    const int16_t code = ReceiveHeader(r.p);
    ASSERT_TRUE(allowed.count(code)) << code << " for " << testing::PrintToString(bytes);
    FlushInput(r.p);
    r.clock.now += 5;  // let late pieces arrive and go
    FlushInput(r.p);
    if (code != 0 && code != 79 && code != 72) continue;
    ++accepted;
    const TransferFile& f = r.p.file;
    ASSERT_GE(f.RecordCount, 0);
    ASSERT_LE(f.RecordCount, 32767);
    if (!f.ProgramFile) {
      ASSERT_GE(f.FieldCount, 1);
      ASSERT_LE(f.FieldCount, 16);
      ASSERT_LE(f.FieldCount + f.RecordLength, 255);
    }
    ASSERT_EQ(r.p.state.BlockLength, f.RecordLength + 2 + (r.p.settings.BlockCheck ? 1 : 0) +
                                         (r.p.settings.SerialNumbers ? 5 : 0));
  }
  EXPECT_GT(accepted, 100);  // the valid share really gets through
}

TEST(ReceiveFuzz, TextBlocks) {
  FuzzRig r;
  Fuzzer fz;
  const std::set<int16_t> allowed = {0, 1, 2, 3, 5};
  int stored = 0;
  for (int i = 0; i < 8000; ++i) {
    RunState& s = r.p.state;
    RunSettings& st = r.p.settings;
    st.BlockCheck = fz.Below(4) != 0;
    st.SerialNumbers = fz.Below(4) != 0;
    r.p.file.RecordLength = static_cast<int16_t>(1 + fz.Below(60));
    s.BlockLength = static_cast<int16_t>(r.p.file.RecordLength + 2 + (st.BlockCheck ? 1 : 0) +
                                         (st.SerialNumbers ? 5 : 0));
    s.RecordNumber = 1 + fz.Below(32767);
    s.RecordSerial = fz.Digits(s.RecordNumber, 5);
    s.RecordBuffer.clear();

    std::string body = st.SerialNumbers ? fz.Digits(s.RecordNumber - fz.Below(2), 5) : "";
    for (int k = 0; k < r.p.file.RecordLength; ++k) {
      char c = fz.Byte();
      body += c == '\x03' ? 'x' : c;
    }
    std::string block = "\x02" + body + "\x03" + (st.BlockCheck ? Xor(body + "\x03") : "");
    switch (fz.Below(4)) {
      case 0:
        block = fz.Random(90);
        break;
      case 1:
        block = fz.Mutate(block);
        break;
      case 2:
        block = fz.Random(3) + block;
        break;
      default:
        break;
    }
    r.Send(block, fz.Below(5) * 0.8);
    if (fz.Below(6) == 0) r.Send(fz.Random(10));
    const int16_t code = ReceiveData(r.p);
    ASSERT_TRUE(allowed.count(code)) << code << " for " << testing::PrintToString(block);
    if (code == 0) {
      ++stored;
      ASSERT_EQ(s.RecordBuffer.size(), static_cast<size_t>(r.p.file.RecordLength));
    }
    r.clock.now += 5;
    FlushInput(r.p);
  }
  EXPECT_GT(stored, 500);
}

TEST(ReceiveFuzz, WholeReceptionsLeaveNoHalfFiles) {
  Fuzzer fz;
  for (int i = 0; i < 150; ++i) {
    FuzzRig r;
    r.p.settings.TimeoutCount = 3;
    // A valid upload of ORDERS.BHT whose messages get damaged or lost at random.
    std::vector<std::string> script = {Frame('\x01',
                                             "ORDERS.BHT  00003010"
                                             "4")};
    for (int k = 1; k <= 3; ++k)
      script.push_back(Frame('\x02', fz.Digits(k, 5) + "rec" + char('0' + k)));
    script.push_back("\x04");
    size_t next = 0;
    r.comm.onOutput = [&](const std::string&) {
      if (next >= script.size()) return;
      std::string m = script[next++];
      if (fz.Below(5) == 0) m = fz.Mutate(m);
      if (fz.Below(10) == 0) return;  // lost
      r.Send(m);
    };
    r.comm.Reply("\x05");
    const int16_t code = ReceiveFile(r.p);
    ASSERT_TRUE(code == 0 || code == 51 || code == 53 || code == 70 || code == 79) << code;
    if (r.p.state.TransferPhase != kPhaseDone) {
      ASSERT_FALSE(r.Exists("ORDERS.BHT")) << code;
    } else if (code == 0) {
      ASSERT_EQ(r.ReadFile("ORDERS.BHT"), "rec1\r\nrec2\r\nrec3\r\n");
    }
  }
}

}  // namespace
}  // namespace telvaro3
