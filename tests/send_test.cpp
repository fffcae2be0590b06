// Sending by the block protocol against a scripted terminal: the bytes on the wire, record
// shaping, and the dialogue's answers to NAKs, time-outs, EOT, Cancel and port faults.

#include "send/send.h"

#include <gtest/gtest.h>

#include <tuple>

#include "settings/procedures.h"
#include "support/fakes.h"
#include "support/frames.h"

namespace telvaro3 {
namespace {

using test::ENQ, test::EOT, test::Frame;

std::string Times(const std::string& s, int n) {
  std::string all;
  while (n-- > 0) all += s;
  return all;
}

// A terminal that answers the PC's writes in turn, one letter of `script` each (ACK beyond it):
// A, N, Q, E for ACK, NAK, ENQ, EOT; ' ' for silence; C for silence and Cancel a second later;
// F and W for ACK and a fatal port event (1005) or a harmless one (1000) on the PC's next write.
struct SendRig : test::TestRig {
  std::string script, sent;
  size_t writes = 0;

  SendRig() {
    SetDefaults(p);
    window.Bind([this] { p.state.AbortFlag = true; }, nullptr);
    comm.onOutput = [this](const std::string& data) {
      sent += data;
      const char a = writes < script.size() ? script[writes] : 'A';
      writes++;
      comm.nextEvent = a == 'F' ? 1005 : a == 'W' ? 1000 : 1;
      if (a == 'C') window.cancelAt = clock.now + 1.0;
      const size_t k = std::string("ANQEFW").find(a);
      if (k != std::string::npos) comm.Reply(std::string(1, "\x06\x15\x05\x04\x06\x06"[k]));
    };
  }

  int16_t Send(const std::string& options, const std::string& name, const std::string& content) {
    WriteFile(name, content);
    system.commandLine = "+P0 " + options + " " + name;
    const int16_t checked = CheckCommand(p);
    EXPECT_EQ(checked, 0) << options;
    return checked != 0 ? checked : TransmitFile(p);
  }
};

TEST(TransmitFile, RecordShapes) {
  const std::string h = "A.TXT       000010103", b = "00001AB ", text16 = "ABCDEFGHIJKLMNOP";
  const std::string c = "C.TXT       000010150";
  // The options, file name and content, then what is sent between the opening ENQ and the EOT.
  const std::vector<std::tuple<std::string, std::string, std::string, std::string>> cases = {
      // Records cut to the record length and padded with blanks.
      {"+F10,5", "DATA.TXT", "12345\r\nABCDEFGHIJKLMNOPQRS\r\nX\r\n",
       Frame('\x01', "DATA.TXT    00003021005") + Frame('\x02', "0000112345          ") +
           Frame('\x02', "00002ABCDEFGHIJKLMNO") + Frame('\x02', "00003X              ")},
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
  for (const auto& [options, name, content, sent] : cases) {
    SendRig r;
    ASSERT_EQ(r.Send(options, name, content), 0);
    EXPECT_EQ(r.sent, ENQ + sent + EOT) << options << " " << name;
    EXPECT_EQ(r.window.progress, 100);
  }
}

TEST(TransmitFile, Dialogues) {
  const std::string h = Frame('\x01', "D.TXT       000020102");
  const std::string b1 = Frame('\x02', "00001ab"), b2 = Frame('\x02', "00002cd");
  const std::string n9(9, 'N');
  // The terminal's answers, then the result, the phase it ends in and the bytes sent.
  const std::vector<std::tuple<std::string, int16_t, int16_t, std::string>> cases = {
      // EOT to a block; after it one unusable answer is allowed, as the EOT undid the counter.
      {"AAAENA", 55, kPhaseDone, ENQ + h + b1 + b2 + EOT + EOT},
      {"AAAAE", 52, kPhaseStopped, ENQ + h + b1 + b2 + EOT},
      {std::string(21, ' '), 52, kPhaseStopped, Times(ENQ, 20) + EOT},  // +T60: 20 waits of 3 s
      {"AC", 90, kPhaseStopped, ENQ + h},  // Cancel during a wait: no EOT
      // Silence once after the heading: ENQ; after a block or EOT: the same again.
      {"A A A A A", 0, kPhaseDone, ENQ + h + ENQ + b1 + b1 + b2 + b2 + EOT + EOT},
      // ENQ once to ENQ: ask again; to the heading: ENQ; to a block or EOT: the same again.
      {"QAQAQAQAQA", 0, kPhaseDone, ENQ + ENQ + h + ENQ + b1 + b1 + b2 + b2 + EOT + EOT},
      {"AF", 1005, kPhaseStopped, ENQ + h + b1},  // a fatal port event ends at once, no EOT
      // Event 1000 is not fatal: the PC asks with ENQ instead of reading the answer.
      {"AAWNAA", 0, kPhaseDone, ENQ + h + b1 + b2 + ENQ + EOT},
      // Nine NAKs to each block are borne, the tenth gives up.
      {"AA" + n9 + "A" + n9 + "AA", 0, kPhaseDone, ENQ + h + Times(b1, 10) + Times(b2, 10) + EOT},
      {"AA" + n9 + "N", 54, kPhaseDone, ENQ + h + Times(b1, 10) + EOT},
  };
  for (const auto& [script, code, phase, sent] : cases) {
    SCOPED_TRACE(script);
    SendRig r;
    r.script = script;
    EXPECT_EQ(r.Send("+T60 +F2", "D.TXT", "ab\r\ncd\r\n"), code);
    EXPECT_EQ(r.sent, sent);
    EXPECT_EQ(r.p.state.TransferPhase, phase);
    EXPECT_FALSE(r.p.files[1]);
  }
}

}  // namespace
}  // namespace telvaro3
