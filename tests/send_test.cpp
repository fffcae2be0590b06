// Sending by the block protocol against a scripted terminal: the bytes on the wire, record
// shaping, and the dialogue's answers to NAKs, time-outs, EOT, Cancel and port faults.

#include "send/send.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <tuple>

#include "settings/procedures.h"
#include "support/fakes.h"
#include "support/frames.h"

namespace telvaro3 {
namespace {

using test::ACK, test::ENQ, test::EOT, test::Frame, test::NAK;
using Writes = std::vector<std::string>;

// A terminal that answers every write of the PC through `answer` (an empty answer is silence).
struct SendRig : test::TestRig {
  Writes out;
  std::function<std::string(const std::string& data)> answer = [](const std::string&) {
    return ACK;
  };

  SendRig() {
    SetDefaults(p);
    window.Bind([this] { p.state.AbortFlag = true; }, nullptr);
    comm.onOutput = [this](const std::string& data) {
      out.push_back(data);
      const std::string a = answer(data);
      if (!a.empty()) comm.Reply(a);
    };
  }

  int16_t Send(const std::string& options, const std::string& name, const std::string& content) {
    WriteFile(name, content);
    system.commandLine = "+P0 " + options + " " + name;
    const int16_t checked = CheckCommand(p);
    EXPECT_EQ(checked, 0) << options;
    return checked != 0 ? checked : TransmitFile(p);
  }

  std::string Sent() const {
    std::string all;
    for (const auto& w : out) all += w;
    return all;
  }
  int Count(const std::string& what) const {
    return static_cast<int>(std::count(out.begin(), out.end(), what));
  }
};

TEST(TransmitFile, ExactBytesOfAThreeLineDataFile) {
  SendRig r;
  ASSERT_EQ(r.Send("+F10,5", "DATA.TXT", "12345\r\nABCDEFGHIJKLMNOPQRS\r\nX\r\n"), 0);
  EXPECT_EQ(r.out, (Writes{ENQ, Frame('\x01', "DATA.TXT    00003021005"),
                           Frame('\x02', "0000112345          "),
                           Frame('\x02', "00002ABCDEFGHIJKLMNO"),  // cut to the record length
                           Frame('\x02', "00003X              "),  // padded with blanks
                           EOT}));
  EXPECT_EQ(r.p.state.TransferPhase, kPhaseDone);
  EXPECT_FALSE(r.p.files[1]);  // closed
}

TEST(TransmitFile, RecordShapes) {
  const std::string h = "A.TXT       000010103", b = "00001AB ", text16 = "ABCDEFGHIJKLMNOP";
  const std::string c = "C.TXT       000010150";
  struct Case {
    std::string options, name, content, sent;  // sent: without the opening ENQ and closing EOT
  };
  const Case cases[] = {
      {"+F3", "A.TXT", "AB\r\n", Frame('\x01', h) + Frame('\x02', b)},
      {"+F3 -PB", "A.TXT", "AB\r\n", Frame('\x01', h, false) + Frame('\x02', b, false)},
      {"+F3 -SN", "A.TXT", "AB\r\n", Frame('\x01', h) + Frame('\x02', "AB ")},
      {"+F3 -PB -SN", "A.TXT", "AB\r\n", Frame('\x01', h, false) + "\x02" + "AB \x03"},
      {"+F5", "EMPTY.TXT", "", Frame('\x01', "EMPTY.TXT   000000105")},
      // A program file has no field part and is padded with zeros.
      {"", "PROG.PD3", "12AB\r\n",
       Frame('\x01', "PROG.PD3    00001") + Frame('\x02', "0000112AB" + std::string(124, '0'))},
      // Compacted: positions 1-18 trimmed and packed, 19-34 as they are, 35-39 and 41-42 packed;
      // position 40 and everything after 42 dropped.
      {"+CMP +F50", "C.TXT", "    1234567890    " + text16 + "12345X67ZZZ\r\n",
       Frame('\x01', c) +
           Frame('\x02', "00001\x70\x86\x9c\xb2\xbe    " + text16 + "\x65\x7b\x91\xa7")},
      // A non-digit packs as ERROR; a short line is padded first, so its blanks pack as ERROR too.
      {"+CMP +F50", "C.TXT", "12A\r\n",
       Frame('\x01', c) + Frame('\x02', "00001ERROR    " + std::string(16, ' ') + "ERRO")},
  };
  for (const Case& k : cases) {
    SendRig r;
    ASSERT_EQ(r.Send(k.options, k.name, k.content), 0);
    EXPECT_EQ(r.Sent(), ENQ + k.sent + EOT) << k.options << " " << k.name;
    EXPECT_EQ(r.window.progress, 100);
  }
}

TEST(TransmitFile, TenNaksToOneBlockGive54ButNineDoNot) {
  for (const int acked : {10, 11}) {  // the sending of each block that is answered with ACK
    SendRig r;
    r.answer = [&](const std::string& d) {
      return d[0] == '\x02' && r.Count(d) < acked ? NAK : ACK;
    };
    EXPECT_EQ(r.Send("+F5", "N.TXT", "a\r\nb\r\n"), acked == 10 ? 0 : 54);
    EXPECT_EQ(r.Count(Frame('\x02', "00001a    ")), 10);
    EXPECT_EQ(r.Count(Frame('\x02', "00002b    ")), acked == 10 ? 10 : 0);
    EXPECT_EQ(r.out.back(), EOT);
  }
}

TEST(TransmitFile, Dialogues) {
  const std::string h = Frame('\x01', "D.TXT       000020102");
  const std::string b1 = Frame('\x02', "00001ab"), b2 = Frame('\x02', "00002cd");
  std::string silent;  // +T60 allows twenty 3-second waits
  for (int i = 0; i < 20; ++i) silent += ENQ;
  using Answer = std::function<std::string(SendRig&, const std::string&)>;  // r.out holds `d`
  const std::vector<std::tuple<int16_t, int16_t, std::string, Answer>> cases = {
      // EOT to a block; after it one unusable answer is allowed, as the EOT undid the counter.
      {55, kPhaseDone, ENQ + h + b1 + b2 + EOT + EOT,
       [&](SendRig& r, const std::string& d) {
         return d == b2 ? EOT : d == EOT && r.Count(EOT) == 1 ? NAK : ACK;
       }},
      {52, kPhaseStopped, ENQ + h + b1 + b2 + EOT,
       [](SendRig&, const std::string& d) { return d == EOT ? EOT : ACK; }},
      {52, kPhaseStopped, silent + EOT, [](SendRig&, const std::string&) { return std::string(); }},
      // Cancel during a wait: no EOT.
      {90, kPhaseStopped, ENQ + h,
       [](SendRig& r, const std::string& d) {
         if (d[0] == '\x01') r.window.cancelAt = r.clock.now + 1.0;
         return d[0] == '\x01' ? std::string() : ACK;
       }},
      // Silence once after the heading: ENQ; after a block or EOT: the same again.
      {0, kPhaseDone, ENQ + h + ENQ + b1 + b1 + b2 + b2 + EOT + EOT,
       [](SendRig& r, const std::string& d) {
         return d[0] != '\x05' && r.Count(d) == 1 ? std::string() : ACK;
       }},
      // ENQ once to ENQ: ask again; to the heading: ENQ; to a block or EOT: the same again.
      {0, kPhaseDone, ENQ + ENQ + h + ENQ + b1 + b1 + b2 + b2 + EOT + EOT,
       [](SendRig& r, const std::string& d) { return r.Count(d) == 1 ? ENQ : ACK; }},
      // A fatal port event on a block's write ends at once, without EOT.
      {1005, kPhaseStopped, ENQ + h + b1,
       [](SendRig& r, const std::string& d) {
         if (d[0] == '\x01') r.comm.nextEvent = 1005;
         return ACK;
       }},
      // Event 1000 on the second block is not fatal: the PC asks with ENQ instead of reading.
      {0, kPhaseDone, ENQ + h + b1 + b2 + ENQ + EOT,
       [&](SendRig& r, const std::string& d) {
         r.comm.nextEvent = d == b1 ? 1000 : 1;
         return d == b2 ? NAK : ACK;
       }},
  };
  for (size_t i = 0; i < cases.size(); ++i) {
    const auto& [code, phase, out, answer] = cases[i];
    SendRig r;
    SCOPED_TRACE(i);
    r.answer = [&](const std::string& d) { return answer(r, d); };
    EXPECT_EQ(r.Send("+T60 +F2", "D.TXT", "ab\r\ncd\r\n"), code);
    EXPECT_EQ(r.Sent(), out);
    EXPECT_EQ(r.p.state.TransferPhase, phase);
    EXPECT_FALSE(r.p.files[1]);
  }
}

TEST(TransmitFile, LargestFileIsSentCompletely) {
  SendRig r;
  std::string content;
  for (int i = 0; i < 32767; ++i) content += "x\r\n";
  ASSERT_EQ(r.Send("+F1", "BIG.TXT", content), 0);
  EXPECT_EQ(r.out.size(), 32767u + 3);
  EXPECT_EQ(r.out[r.out.size() - 2], Frame('\x02', "32767x"));
}

}  // namespace
}  // namespace telvaro3
