// Sending by the block protocol: the bytes on the wire, and the answers to every kind of reply.

#include "send/send.h"

#include <gtest/gtest.h>

#include "base/text.h"
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

// Lines "<prefix>0001" to "<prefix>NNNN"; and the text blocks of their first `length` characters.
std::string Numbered(const std::string& prefix, int n) {
  std::string all;
  for (int i = 1; i <= n; ++i) all += prefix + FiveDigits(i).substr(1) + "\r\n";
  return all;
}
std::string NumberedBlocks(const std::string& prefix, int n, size_t length) {
  std::string all;
  for (int i = 1; i <= n; ++i)
    all += Frame('\x02', FiveDigits(i) + (prefix + FiveDigits(i).substr(1)).substr(0, length));
  return all;
}

// A terminal that answers the PC's writes in turn, one letter of `script` each (ACK beyond it):
// A, N, Q, E for ACK, NAK, ENQ, EOT; ' ' for silence; C for silence and Cancel a second later;
// F and W for ACK and a fatal port event (1005) or a harmless one (1000) on the PC's next write;
// G for the device gone (a cradle unplugged): the port reports it, nothing more comes.
struct SendRig : test::TestRig {
  std::string script, sent;
  size_t writes = 0;
  // The file is rewritten in place with `rewrite` after the PC's rewriteAt-th write, or when 0
  // between the counting and the send.
  std::string name, rewrite;
  size_t rewriteAt = 0;

  SendRig() {
    comm.onOutput = [this](const std::string& data) {
      sent += data;
      const char a = writes < script.size() ? script[writes] : 'A';
      writes++;
      if (!rewrite.empty() && writes == rewriteAt) WriteFile(name, rewrite);
      comm.nextEvent = a == 'F' ? 1005 : a == 'W' ? 1000 : 1;
      if (a == 'G') comm.portFault = 1008;
      if (a == 'C') window.cancelAt = clock.now + 1.0;
      const size_t k = std::string("ANQEFW").find(a);
      if (k != std::string::npos) comm.Reply(std::string(1, "\x06\x15\x05\x04\x06\x06"[k]));
    };
  }

  int16_t Send(const std::string& options, const std::string& file, const std::string& content) {
    name = file;
    WriteFile(name, content);
    system.commandLine = "+P0 " + options + " " + name;
    const int16_t checked = CheckCommand(p);
    if (checked != 0) return checked;
    if (!rewrite.empty() && rewriteAt == 0) WriteFile(name, rewrite);
    return TransmitFile(p);
  }
};

TEST(TransmitFile, BytesOnTheWireAndDialogues) {
  const std::string h = "A.TXT       000010103", b = "00001AB ", text16 = "ABCDEFGHIJKLMNOP";
  const std::string c = Frame('\x01', "C.TXT       000010150");
  const std::string dh = Frame('\x01', "D.TXT       000020102"), dd = "ab\r\ncd\r\n",
                    t = "+T60 +F2";
  const std::string b1 = Frame('\x02', "00001ab"), b2 = Frame('\x02', "00002cd");
  const std::string n9(9, 'N');
  const std::string first = Numbered("A", 2000), big = Frame('\x01', "BIG.TXT     020000105");
  std::string digits;
  while (digits.size() < 400) digits += "0123456789";
  struct Case {
    std::string options, name, content, sent;
    std::string script = "";  // the terminal's answers
    int16_t code = 0, phase = kPhaseDone;
    std::string rewrite = "";  // the file's next version (SendRig)
    size_t rewriteAt = 0;
  };
  const Case cases[] = {
      // Records cut to the record length and padded with blanks.
      {"+F10,5", "DATA.TXT", "12345\r\nABCDEFGHIJKLMNOPQRS\r\nX\r\n",
       ENQ + Frame('\x01', "DATA.TXT    00003021005") + Frame('\x02', "0000112345          ") +
           Frame('\x02', "00002ABCDEFGHIJKLMNO") + Frame('\x02', "00003X              ") + EOT},
      {"+F3", "A.TXT", "AB\r\n", ENQ + Frame('\x01', h) + Frame('\x02', b) + EOT},
      {"+F3 -PB", "A.TXT", "AB\r\n", ENQ + Frame('\x01', h, false) + Frame('\x02', b, false) + EOT},
      {"+F3 -SN", "A.TXT", "AB\r\n", ENQ + Frame('\x01', h) + Frame('\x02', "AB ") + EOT},
      {"+F3 -PB -SN", "A.TXT", "AB\r\n",
       ENQ + Frame('\x01', h, false) + Frame('\x02', "AB ", false) + EOT},
      {"+F5", "EMPTY.TXT", "", ENQ + Frame('\x01', "EMPTY.TXT   000000105") + EOT},
      // A program file has no field part and is padded with zeros.
      {"", "PROG.PD3", "12AB\r\n",
       ENQ + Frame('\x01', "PROG.PD3    00001") +
           Frame('\x02', "0000112AB" + std::string(124, '0')) + EOT},
      // Compacted: 1-18 trimmed and packed, 19-34 kept, 35-39 and 41-42 packed, the rest dropped.
      {"+CMP +F50", "C.TXT", "    1234567890    " + text16 + "12345X67ZZZ\r\n",
       ENQ + c + Frame('\x02', "00001\x70\x86\x9c\xb2\xbe    " + text16 + "\x65\x7b\x91\xa7") +
           EOT},
      // A non-digit packs as ERROR; a short line is padded first, so its blanks pack as ERROR too.
      {"+CMP +F50", "C.TXT", "12A\r\n",
       ENQ + c + Frame('\x02', "00001ERROR    " + std::string(16, ' ') + "ERRO") + EOT},
      // EOT to a block; after it one unusable answer is allowed, as the EOT undid the counter.
      {t, "D.TXT", dd, ENQ + dh + b1 + b2 + EOT + EOT, "AAAENA", 55},
      {t, "D.TXT", dd, ENQ + dh + b1 + b2 + EOT, "AAAAE", 52, kPhaseStopped},
      {t, "D.TXT", dd, Times(ENQ, 20) + EOT, std::string(21, ' '), 52, kPhaseStopped},  // 20 waits
      {t, "D.TXT", dd, ENQ + dh, "AC", 90, kPhaseStopped},  // Cancel during a wait: no EOT
      // Silence once after the heading: ENQ; after a block or EOT: the same again.
      {t, "D.TXT", dd, ENQ + dh + ENQ + b1 + b1 + b2 + b2 + EOT + EOT, "A A A A A"},
      // ENQ once to ENQ: ask again; to the heading: ENQ; to a block or EOT: the same again.
      {t, "D.TXT", dd, ENQ + ENQ + dh + ENQ + b1 + b1 + b2 + b2 + EOT + EOT, "QAQAQAQAQA"},
      {t, "D.TXT", dd, ENQ + dh + b1, "AF", 1005, kPhaseStopped},  // fatal: at once, no EOT
      // The device gone during any wait: at once, no EOT, even with waits for 27 hours allowed.
      {"+T0 +F2", "D.TXT", dd, ENQ, "G", 1008, kPhaseStopped},
      {"+T0 +F2", "D.TXT", dd, ENQ + dh + b1, "AAG", 1008, kPhaseStopped},
      {"+T0 +F2", "D.TXT", dd, ENQ + dh + b1 + b2 + EOT, "AAAAG", 1008, kPhaseStopped},
      // Event 1000 is not fatal: the PC asks with ENQ instead of reading the answer.
      {t, "D.TXT", dd, ENQ + dh + b1 + b2 + ENQ + EOT, "AAWNAA"},
      // Nine NAKs to each block are borne, the tenth gives up.
      {t, "D.TXT", dd, ENQ + dh + Times(b1, 10) + Times(b2, 10) + EOT, "AA" + n9 + "A" + n9 + "AA"},
      {t, "D.TXT", dd, ENQ + dh + Times(b1, 10) + EOT, "AA" + n9 + "N", 54},
      // Rewritten in place after the counting, or while the blocks go out (the file is longer
      // than any read buffer): the terminal gets the version that was counted, and only that.
      {"+F5", "BIG.TXT", first, ENQ + big + NumberedBlocks("A", 2000, 5) + EOT, "", 0, kPhaseDone,
       Numbered("BB", 1500)},
      {"+F5", "BIG.TXT", first, ENQ + big + NumberedBlocks("A", 2000, 5) + EOT, "", 0, kPhaseDone,
       Numbered("BB", 2500), 3},
      // The longest data record takes its characters from a longer line.
      {"+F99,99,54", "L.TXT", digits + "\r\n",
       ENQ + Frame('\x01', "L.TXT       0000103999954") +
           Frame('\x02', "00001" + digits.substr(0, 252)) + EOT},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.options + " " + k.name + " " + k.script);
    SendRig r;
    // A terminal that answers every write the moment it is made is not held to the line time:
    // at 300 baud by the port's estimate (a text block over a second on the line) each write
    // costs the send delay and a look or two at the port, not waits that end at once because
    // the answer is there.
    const bool prompt = k.code == 0 && k.script.find_first_of(" W") == std::string::npos;
    if (prompt) r.comm.secondsPerByte = 12.0 / 300;
    const double start = r.clock.now;
    r.script = k.script;
    r.rewrite = k.rewrite;
    r.rewriteAt = k.rewriteAt;
    EXPECT_EQ(r.Send(k.options, k.name, k.content), k.code);
    EXPECT_EQ(r.sent, k.sent);
    EXPECT_EQ(r.p.state.TransferPhase, k.phase);
    EXPECT_FALSE(r.p.files[1]);  // closed
    EXPECT_TRUE(k.code != 0 || r.window.progress == 100);
    // The About box is kept out of a transfer once the link is made, that is the heading sent.
    EXPECT_EQ(r.window.aboutEnabled, k.sent.find('\x01') == std::string::npos);
    const auto writes = static_cast<int>(r.writes);
    EXPECT_TRUE(!prompt || r.clock.now - start < (0.005 + 0.041) * writes) << r.clock.now - start;
    EXPECT_TRUE(!prompt || r.window.doEventsCalls <= 8 * writes) << r.window.doEventsCalls;
  }
}

}  // namespace
}  // namespace telvaro3
