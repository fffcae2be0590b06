// Sending by the block protocol against a scripted terminal: the bytes on the wire, the heading,
// record shaping, and the dialogue's answers to NAKs, time-outs, EOT, Cancel and port faults.

#include "send/send.h"

#include <gtest/gtest.h>

#include <functional>
#include <map>

#include "link/link.h"
#include "settings/procedures.h"
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

bool IsText(const std::string& w) {
  return !w.empty() && w[0] == '\x02';
}

// A terminal that answers every write of the PC through `answer` (an empty answer is silence).
struct SendRig : test::TestRig {
  std::vector<std::string> out;
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

  int16_t Send(const std::string& commandLine, const std::string& name,
               const std::string& content) {
    WriteFile(name, content);
    system.commandLine = commandLine;
    const int16_t checked = CheckCommand(p);
    EXPECT_EQ(checked, 0) << commandLine;
    if (checked != 0) return checked;
    return TransmitFile(p);
  }

  int Count(const std::string& what) const {
    int n = 0;
    for (const auto& w : out) n += w == what;
    return n;
  }
  std::vector<std::string> Logged(const std::string& control) const {
    std::vector<std::string> r;
    for (const auto& l : window.log)
      if (l.rfind(control + ": ", 0) == 0) r.push_back(l.substr(control.size() + 2));
    return r;
  }
};

TEST(SetHeader, DataAndProgramHeadings) {
  SendRig r;
  TransferFile& f = r.p.file;
  f.Name = "SALES.DAT";
  f.RecordCount = 3;
  f.FieldCount = 2;
  f.FieldLengths[1] = "5";
  f.FieldLengths[2] = "10";
  SetHeader(r.p);
  EXPECT_EQ(r.p.state.HeadingBlock, "\x01SALES.DAT   00003020510\x03\x21");

  r.p.settings.BlockCheck = false;
  SetHeader(r.p);
  EXPECT_EQ(r.p.state.HeadingBlock, "\x01SALES.DAT   00003020510\x03");

  f.Name = "ABCDEFGH.PD3";  // twelve characters fill the field; no field part
  f.ProgramFile = true;
  f.RecordCount = 32767;
  SetHeader(r.p);
  EXPECT_EQ(r.p.state.HeadingBlock,
            "\x01"
            "ABCDEFGH.PD332767\x03");
  EXPECT_EQ(r.p.state.ProcName, "SetHeader");
}

TEST(TransmitFile, ExactBytesOfAThreeLineDataFile) {
  SendRig r;
  ASSERT_EQ(r.Send("+P0 +F10,5 DATA.TXT", "DATA.TXT", "12345\r\nABCDEFGHIJKLMNOPQRS\r\nX\r\n"), 0);
  const std::vector<std::string> expected = {
      ENQ,
      Frame('\x01', "DATA.TXT    00003021005"),
      Frame('\x02',
            "00001"
            "12345          "),
      Frame('\x02',
            "00002"
            "ABCDEFGHIJKLMNO"),  // cut to the record length
      Frame('\x02',
            "00003"
            "X              "),  // padded with blanks
      EOT,
  };
  EXPECT_EQ(r.out, expected);
  EXPECT_EQ(r.p.state.TransferPhase, kPhaseDone);
  EXPECT_EQ(r.window.Get(Field::RecordsBox), " 00003");
  EXPECT_EQ(r.window.Get(Field::RecCntBox), " 00003");
  EXPECT_EQ(r.Logged("complete"), (std::vector<std::string>{" 0%", " 33%", " 67%", " 100%"}));
  EXPECT_EQ(r.Logged("StatusBox"),
            (std::vector<std::string>{"Sending Header", "Sending File ", "Closing Link"}));
  EXPECT_FALSE(r.window.aboutEnabled);
  EXPECT_FALSE(r.p.files[1]);  // closed
}

TEST(TransmitFile, BlockShapeFollowsTheOptions) {
  struct Case {
    std::string options;
    std::string block;
  };
  const Case cases[] = {
      {"", Frame('\x02', "00001AB ")},
      {"-PB", Frame('\x02', "00001AB ", false)},
      {"-SN", Frame('\x02', "AB ")},
      {"-PB -SN",
       "\x02"
       "AB \x03"},
  };
  for (const Case& c : cases) {
    SendRig r;
    ASSERT_EQ(r.Send("+P0 +F3 " + c.options + " A.TXT", "A.TXT", "AB\r\n"), 0);
    ASSERT_EQ(r.out.size(), 4u) << c.options;
    EXPECT_EQ(r.out[2], c.block) << c.options;
    const bool bcc = c.options.find("-PB") == std::string::npos;
    EXPECT_EQ(r.out[1], Frame('\x01', "A.TXT       000010103", bcc)) << c.options;
  }
}

TEST(TransmitFile, ProgramFileIsPaddedWithZeros) {
  SendRig r;
  ASSERT_EQ(r.Send("+P0 PROG.PD3", "PROG.PD3", "12AB\r\n"), 0);
  ASSERT_EQ(r.out.size(), 4u);
  EXPECT_EQ(r.out[1], Frame('\x01', "PROG.PD3    00001"));
  EXPECT_EQ(r.out[2], Frame('\x02',
                            "00001"
                            "12AB" +
                                std::string(124, '0')));
  EXPECT_EQ(r.window.Get(Field::StatusBox), "Closing Link");
  EXPECT_EQ(r.Logged("StatusBox")[1], "Sending Program ");
}

TEST(TransmitFile, EmptyFileSendsHeadingOnly) {
  SendRig r;
  ASSERT_EQ(r.Send("+P0 +F5 EMPTY.TXT", "EMPTY.TXT", ""), 0);
  EXPECT_EQ(r.out, (std::vector<std::string>{ENQ, Frame('\x01', "EMPTY.TXT   000000105"), EOT}));
  EXPECT_EQ(r.window.Get(Field::complete), "100%");
  EXPECT_EQ(r.window.progress, 100);
  EXPECT_EQ(r.window.Get(Field::RecordsBox), " 00000");
  EXPECT_EQ(r.p.state.TransferPhase, kPhaseDone);
}

TEST(TransmitFile, CompactedRecordLayout) {
  struct Case {
    std::string line;
    std::string record;
  };
  const std::string text16 = "ABCDEFGHIJKLMNOP";
  const Case cases[] = {
      // Positions 1-18 trimmed and packed, 19-34 as they are, 35-39 and 41-42 packed; position 40
      // and everything after 42 dropped.
      {"    1234567890    " + text16 + "12345X67ZZZ",
       "\x70\x86\x9c\xb2\xbe    " + text16 + "\x65\x7b\x91\xa7"},
      // A non-digit packs as ERROR; a short line is padded to the record length first, so the
      // blanks of positions 35-42 pack as ERROR too.
      {"12A", "ERROR    " + std::string(16, ' ') + "ERRO"},
  };
  for (const Case& c : cases) {
    SendRig r;
    ASSERT_EQ(r.Send("+P0 +CMP +F50 C.TXT", "C.TXT", c.line + "\r\n"), 0);
    ASSERT_EQ(r.out.size(), 4u);
    EXPECT_EQ(r.out[2], Frame('\x02', "00001" + c.record)) << c.line;
  }
}

TEST(TransmitFile, TenNaksToOneBlockGive54ThenClosing) {
  SendRig r;
  r.answer = [](const std::string& d) { return IsText(d) ? NAK : ACK; };
  EXPECT_EQ(r.Send("+P0 +F5 N.TXT", "N.TXT", "a\r\nb\r\n"), 54);
  EXPECT_EQ(r.Count(Frame('\x02', "00001a    ")), 10);
  EXPECT_EQ(r.out.back(), EOT);
  EXPECT_EQ(r.p.state.TransferPhase, kPhaseDone);
}

TEST(TransmitFile, AckStartsTheNakCountAfresh) {
  SendRig r;
  std::map<std::string, int> naks;
  r.answer = [&](const std::string& d) { return IsText(d) && ++naks[d] < 10 ? NAK : ACK; };
  EXPECT_EQ(r.Send("+P0 +F5 N.TXT", "N.TXT", "a\r\nb\r\n"), 0);
  EXPECT_EQ(naks.size(), 2u);
}

TEST(TransmitFile, EotMidTransferGives55AndClosing) {
  SendRig r;
  int closing = 0;
  r.answer = [&](const std::string& d) -> std::string {
    if (d == Frame('\x02', "00002b    ")) return EOT;
    // One unusable answer in the closing phase: the counter set by EOT has been undone.
    if (d == EOT) return closing++ == 0 ? NAK : ACK;
    return ACK;
  };
  EXPECT_EQ(r.Send("+P0 +F5 E.TXT", "E.TXT", "a\r\nb\r\nc\r\n"), 55);
  EXPECT_EQ(r.Count(EOT), 2);
  EXPECT_EQ(r.p.state.TransferPhase, kPhaseDone);
}

TEST(TransmitFile, EotAnswerWhileClosingEndsAt52) {
  SendRig r;
  r.answer = [](const std::string& d) { return d == EOT ? EOT : ACK; };
  EXPECT_EQ(r.Send("+P0 +F5 E.TXT", "E.TXT", "a\r\n"), 52);
  EXPECT_EQ(r.Count(EOT), 1);
  EXPECT_EQ(r.p.state.TransferPhase, kPhaseStopped);
}

TEST(TransmitFile, SilentTerminalGives52WithOneEot) {
  SendRig r;
  r.p.settings.TimeoutCount = 20;
  r.answer = [](const std::string&) { return std::string(); };
  r.WriteFile("S.TXT", "a\r\n");
  r.p.file.Name = "S.TXT";
  r.p.file.FieldCount = 1;
  r.p.file.FieldLengths[1] = "5";
  r.p.file.RecordLength = 5;
  r.p.file.RecordCount = 1;
  const double start = r.clock.now;
  EXPECT_EQ(TransmitFile(r.p), 52);
  EXPECT_EQ(r.Count(ENQ), 20);
  EXPECT_EQ(r.out.size(), 21u);
  EXPECT_EQ(r.out.back(), EOT);
  EXPECT_GE(r.clock.now - start, 60.0);  // twenty 3-second waits of program time
  EXPECT_EQ(r.p.state.TransferPhase, kPhaseStopped);
}

TEST(TransmitFile, TimeoutRepeatsEnqAfterHeadingAndTheBlockAfterText) {
  SendRig r;
  std::map<std::string, int> seen;
  // The first heading and the first text block go unanswered.
  r.answer = [&](const std::string& d) {
    return (d[0] == '\x01' || IsText(d)) && seen[d]++ == 0 ? std::string() : ACK;
  };
  EXPECT_EQ(r.Send("+P0 +F2 T.TXT", "T.TXT", "ab\r\n"), 0);
  const std::string h = Frame('\x01', "T.TXT       000010102");
  const std::string b = Frame('\x02', "00001ab");
  EXPECT_EQ(r.out, (std::vector<std::string>{ENQ, h, ENQ, b, b, EOT}));
}

TEST(TransmitFile, EnqAnswersRepeatTheSameThing) {
  SendRig r;
  std::map<std::string, int> seen;
  r.answer = [&](const std::string& d) { return seen[d]++ == 0 ? ENQ : ACK; };
  EXPECT_EQ(r.Send("+P0 +F2 Q.TXT", "Q.TXT", "ab\r\n"), 0);
  const std::string h = Frame('\x01', "Q.TXT       000010102");
  const std::string b = Frame('\x02', "00001ab");
  // ENQ to ENQ: ask again; to the heading: ENQ; to a text block: the block again.
  EXPECT_EQ(r.out, (std::vector<std::string>{ENQ, ENQ, h, ENQ, b, b, EOT, EOT}));
}

TEST(TransmitFile, CancelDuringAWaitGives90WithoutEot) {
  SendRig r;
  r.answer = [&](const std::string& d) {
    if (d[0] == '\x01') {
      r.window.cancelAt = r.clock.now + 1.0;
      return std::string();
    }
    return ACK;
  };
  EXPECT_EQ(r.Send("+P0 +F2 C.TXT", "C.TXT", "ab\r\n"), 90);
  EXPECT_EQ(r.Count(EOT), 0);
  EXPECT_EQ(r.p.state.TransferPhase, kPhaseStopped);
  EXPECT_FALSE(r.p.files[1]);
}

TEST(TransmitFile, PercentRoundsHalfToEven) {
  SendRig r;
  ASSERT_EQ(r.Send("+P0 +F1 P.TXT", "P.TXT", "1\r\n2\r\n3\r\n4\r\n5\r\n6\r\n7\r\n8\r\n"), 0);
  EXPECT_EQ(r.Logged("complete"), (std::vector<std::string>{" 0%", " 12%", " 25%", " 38%", " 50%",
                                                            " 62%", " 75%", " 88%", " 100%"}));
  // The counter shows the line read last: one ahead while lines remain.
  const auto counts = r.Logged("RecCntBox");
  EXPECT_EQ(counts[1], " 00002");
  EXPECT_EQ(counts.back(), " 00008");
}

TEST(TransmitFile, FatalPortEventDuringABlockEndsAtOnce) {
  SendRig r;
  r.answer = [&](const std::string& d) {
    if (d[0] == '\x01') r.comm.nextEvent = 1005;  // the next write fails
    return ACK;
  };
  EXPECT_EQ(r.Send("+P0 +F2 F.TXT", "F.TXT", "ab\r\ncd\r\n"), 1005);
  EXPECT_EQ(r.out.size(), 3u);  // ENQ, heading, the failed block; no EOT
  EXPECT_TRUE(IsText(r.out.back()));
  EXPECT_EQ(r.p.state.TransferPhase, kPhaseStopped);
  EXPECT_NE(r.window.Get(Field::StatusBox), "Closing Link");
  EXPECT_FALSE(r.p.files[1]);
}

TEST(TransmitFile, NonFatalEvent1000AsksWithEnq) {
  SendRig r;
  const std::string b1 = Frame('\x02', "00001ab"), b2 = Frame('\x02', "00002cd");
  r.answer = [&](const std::string& d) {
    r.comm.nextEvent = d == b1 ? 1000 : 1;  // the write of the second block reports 1000
    return d == b2 ? NAK : ACK;
  };
  EXPECT_EQ(r.Send("+P0 +F2 G.TXT", "G.TXT", "ab\r\ncd\r\n"), 0);
  EXPECT_EQ(r.out, (std::vector<std::string>{ENQ, Frame('\x01', "G.TXT       000020102"), b1, b2,
                                             ENQ, EOT}));
}

TEST(TransmitFile, MissingFileSendsNothing) {
  SendRig r;
  r.p.file.Name = "NONE.TXT";
  EXPECT_EQ(TransmitFile(r.p), 1);
  EXPECT_TRUE(r.out.empty());
}

TEST(TransmitFile, FileShorterThanItsCountIsARunTimeFault) {
  SendRig r;
  r.WriteFile("S.TXT", "a\r\n");
  r.p.file.Name = "S.TXT";
  r.p.file.FieldCount = 1;
  r.p.file.FieldLengths[1] = "1";
  r.p.file.RecordLength = 1;
  r.p.file.RecordCount = 2;
  EXPECT_THROW(TransmitFile(r.p), RunTimeError);
  EXPECT_EQ(r.p.state.ProcName, "GetNextRecord");
  EXPECT_FALSE(r.p.files[1]);
}

TEST(TransmitFile, LargestFileIsSentCompletely) {
  SendRig r;
  std::string content;
  for (int i = 0; i < 32767; ++i) content += "x\r\n";
  ASSERT_EQ(r.Send("+P0 +F1 BIG.TXT", "BIG.TXT", content), 0);
  EXPECT_EQ(r.out.size(), 32767u + 3);
  EXPECT_EQ(r.out[r.out.size() - 2], Frame('\x02', "32767x"));
  EXPECT_EQ(r.p.state.RecordNumber, 32768);
}

}  // namespace
}  // namespace telvaro3
