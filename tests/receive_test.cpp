// Receiving by the block protocol from a scripted terminal: heading and text-block checks, the
// limits, and what every failure leaves on the disk.

#include "receive/receive.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "settings/procedures.h"
#include "support/fakes.h"
#include "support/frames.h"

namespace telvaro3 {
namespace {

using test::ACK, test::ENQ, test::EOT, test::NAK, test::Frame, test::Xor;
using Strings = std::vector<std::string>;

std::string Digits(int v, size_t n) {
  const std::string s = std::to_string(v);
  return std::string(n - s.size(), '0') + s;
}
std::string HeadingText(std::string name, int count, const std::vector<int>& fields) {
  name.resize(12, ' ');
  std::string t = name + Digits(count, 5) + Digits(static_cast<int>(fields.size()), 2);
  for (int f : fields) t += Digits(f, 2);
  return t;
}
std::string Heading(const std::string& name, int count, const std::vector<int>& fields) {
  return Frame('\x01', HeadingText(name, count, fields));
}
std::string Text(int serial, const std::string& record) {
  return Frame('\x02', Digits(serial, 5) + record);
}

// A terminal that says ENQ, then sends the next of its scripted messages after every write of
// the PC (an empty message is silence). The PC's writes are recorded.
struct ReceiveRig : test::TestRig {
  Strings script, out;
  size_t cancelAfterWrites = 0;  // presses Cancel a second after this many writes (0: never)
  double firstWriteAt = -1;

  ReceiveRig() {
    SetDefaults(p);
    window.Bind([this] { p.state.AbortFlag = true; }, nullptr);
    comm.onOutput = [this](const std::string& data) {
      out.push_back(data);
      if (out.size() == 1) firstWriteAt = clock.now;
      if (out.size() == cancelAfterWrites) window.cancelAt = clock.now + 1.0;
      if (out.size() <= script.size()) comm.Reply(script[out.size() - 1]);
    };
  }
  int16_t Receive(const Strings& messages) {
    script = messages;
    comm.Reply(ENQ);
    return ReceiveFile(p);
  }
};

TEST(ReceiveFile, WellFormedUploadInEveryBlockShape) {
  const std::string high = "\xe9t\xe9\x80\xff\x01   ";  // bytes above 127, a control byte
  for (const int shape : {0, 1, 2, 3}) {  // with or without check characters and serial numbers
    const bool bcc = shape & 1, serial = shape & 2;
    ReceiveRig r;
    r.p.settings.BlockCheck = bcc;
    r.p.settings.SerialNumbers = serial;
    auto block = [&](int n, const std::string& rec) {
      return Frame('\x02', (serial ? Digits(n, 5) : "") + rec, bcc);
    };
    ASSERT_EQ(r.Receive({Frame('\x01', HeadingText("ORDERS.BHT", 2, {6, 3}), bcc),
                         block(1, "ABCDEF123"), block(2, high), EOT}),
              0);
    EXPECT_EQ(r.ReadFile("ORDERS.BHT"), "ABCDEF123\r\n" + high + "\r\n");
    EXPECT_EQ(r.out, Strings(5, ACK));
    EXPECT_NE(r.ReadFile("ORDERS.FLD").find("\r\nrecords 2\r\nfields  6 3\r\n"), std::string::npos);
  }
}

TEST(ReceiveHeader, LimitsFramingAndCheckCharacter) {
  const std::string good = Heading("LIST.BHT", 2, {4, 4});
  std::string bad = good;
  bad.back() ^= 0x20;
  std::vector<int> sum239(16, 15);
  sum239[0] = 14;
  // The check character of this heading is NUL, so losing it changes nothing (a tab in the record
  // count counts for nothing in its value but lets the sum reach 0).
  const std::string nulText = "UNDEL.BHT   \t00000149";
  ASSERT_EQ(Xor(nulText + "\x03"), std::string(1, '\0'));
  auto soh = [](const std::string& text) { return Frame('\x01', text); };
  struct Case {
    std::string what, bytes;
    int16_t code;
    double late = 0;  // the last byte comes this many seconds after the others
  };
  const Case cases[] = {
      {"field count 00", soh("ORDERS.BHT  000030010"), 70},
      {"field count 17", Heading("ORDERS.BHT", 3, std::vector<int>(17, 1)), 70},
      {"field length 00", Heading("ORDERS.BHT", 3, {5, 0}), 70},
      {"record count 32768", Heading("ORDERS.BHT", 32768, {5}), 70},
      {"record count 32767", Heading("ORDERS.BHT", 32767, {5}), 0},
      {"16 x 15", Heading("ORDERS.BHT", 1, std::vector<int>(16, 15)), 70},
      {"16 fields, 239", Heading("ORDERS.BHT", 1, sum239), 0},
      {"3 fields, 24 chars", soh(HeadingText("ORDERS.BHT", 1, {1, 2, 3}).substr(0, 24)), 1},
      {"3 fields, 26 chars", soh(HeadingText("ORDERS.BHT", 1, {1, 2, 3}) + "4"), 1},
      {"program heading of 18", soh("TAKE.PD3    00001X"), 1},
      {"program heading of 17", soh("TAKE.PD3    00001"), 79},
      {"bad characters", Heading("ORD+RS.BHT", 1, {5}), 70},
      {"noise before SOH", "zz\x15" + good, 0},
      {"wrong check", bad, 1},
      {"lost NUL check", "\x01" + nulText + "\x03", 0},
      {"check lost, not NUL", good.substr(0, good.size() - 1), 1},
      {"trailing byte that cancels out", good + std::string(1, '\0'), 0},
      {"trailing noise", good + "x", 1},
      {"ENQ anywhere", good + ENQ, 4},
      {"no SOH", good.substr(1), 2},
      {"16 characters only", soh("LIST.BHT    0000"), 2},
      // On a slow line the check character lands a character time after the ETX, but not later.
      {"check a character late", good, 0, 0.0005},
      {"check 0.2 s late", good, 1, 0.2},
  };
  for (const Case& c : cases) {
    ReceiveRig r;
    r.comm.Reply(c.bytes.substr(0, c.bytes.size() - 1));
    r.comm.Reply(c.bytes.substr(c.bytes.size() - 1), c.late);
    EXPECT_EQ(ReceiveHeader(r.p), c.code) << c.what;
  }
}

TEST(ReceiveFile, TextBlockChecks) {
  std::string nulRecord = "ABC";  // its last byte makes the check character NUL
  nulRecord += Xor("00001" + nulRecord + "\x03");
  std::string bad = Text(1, "WXYZ");
  bad.back() ^= 1;
  const std::string a = Text(1, "AAAA"), b = Text(2, "BBBB");
  // The blocks between heading and EOT and the answers to them; with no file given, the upload
  // ends as AAAA and BBBB.
  const std::vector<std::tuple<Strings, Strings, std::string>> cases = {
      {{Frame('\x02', "00001" + nulRecord, false)}, {ACK}, nulRecord + "\r\n"},  // lost NUL check
      {{a, a, b}, {ACK, ACK, ACK}, ""},                                          // a repeated block
      {{a, Text(3, "CCCC"), b}, {ACK, NAK, ACK}, ""},                            // wrong serial
      {{bad, a, b}, {NAK, ACK, ACK}, ""},
      {{ENQ, a, b}, {NAK, ACK, ACK}, ""},
      {{Text(1, "AAAAA"), a, b}, {NAK, ACK, ACK}, ""},  // too long
      // The terminal missed the ACK of its last block and sends it again instead of EOT.
      {{a, b, b}, {ACK, ACK, ACK}, ""},
  };
  for (const auto& [blocks, answers, file] : cases) {
    SCOPED_TRACE(testing::PrintToString(blocks));
    ReceiveRig r;
    Strings script = {Heading("UNDEL.BHT", file.empty() ? 2 : 1, {4})}, expected = {ACK, ACK};
    script.insert(script.end(), blocks.begin(), blocks.end());
    script.push_back(EOT);
    expected.insert(expected.end(), answers.begin(), answers.end());
    expected.push_back(ACK);
    EXPECT_EQ(r.Receive(script), 0);
    EXPECT_EQ(r.out, expected);
    EXPECT_EQ(r.ReadFile("UNDEL.BHT"), file.empty() ? "AAAA\r\nBBBB\r\n" : file);
  }
}

TEST(ReceiveFile, NakAndTimeoutLimits) {
  ReceiveRig naks;  // ten bad headings; the terminal then gives up and the PC closes normally
  std::string bad = Heading("ORDERS.BHT", 1, {5});
  bad.back() ^= 1;
  Strings script(10, bad);
  script.push_back(EOT);
  EXPECT_EQ(naks.Receive(script), 53);
  // The tenth NAK leads to closing, not to giving up: the terminal's EOT gets its ACK. Nothing
  // was received, so no file and no field file appear.
  Strings expected(12, NAK);
  expected.front() = expected.back() = ACK;
  EXPECT_EQ(naks.out, expected);
  EXPECT_EQ(naks.p.state.TransferPhase, kPhaseDone);
  EXPECT_TRUE(std::filesystem::is_empty(naks.dir));

  ReceiveRig silent;  // nobody calls: the PC gives up after four waits of three seconds
  silent.p.settings.TimeoutCount = 4;
  const double start = silent.clock.now;
  EXPECT_EQ(ReceiveFile(silent.p), 51);
  EXPECT_EQ(silent.out, (Strings{EOT, ACK}));
  EXPECT_NEAR(silent.firstWriteAt - start, 12.0, 0.5);
}

TEST(ReceiveFile, WhatEachOutcomeLeavesOnTheDisk) {
  const std::string before = "OLD RECORD\r\nno line end";
  struct Case {
    std::string what, name;
    int count, sent;  // records announced, and sent before EOT (all of them) or silence
    bool append, existing;
    size_t cancelAfterWrites;
    int16_t code;
    int badBlocks, goodWrites;  // bad blocks after the good ones, then EOT; lines the disk takes
  };
  const Case cases[] = {
      {"refused heading", "ORDERS.BHT", 40000, 0, false, true, 0, 70, 0, -1},
      {"refused name, a file of that name", "REPORT.TXT", 1, 0, false, true, 0, 79, 0, -1},
      {"silence after a record", "ORDERS.BHT", 3, 1, false, false, 0, 51, 0, -1},
      {"silence, a file before", "ORDERS.BHT", 3, 1, false, true, 0, 51, 0, -1},
      {"cancel after a record", "RETURNS.BHT", 2, 1, false, true, 3, 90, 0, -1},
      {"disk full", "LIST.BHT", 3, 3, false, true, 0, 61, 0, 2},
      {"append, silence", "ORDERS.BHT", 3, 2, true, true, 0, 51, 0, -1},
      {"append, lower-case name", "orders.bht", 1, 0, true, true, 0, 79, 0, -1},
      {"append, no file before", "ORDERS.BHT", 2, 1, true, false, 0, 51, 0, -1},
      {"append, NAK limit, then EOT", "ORDERS.BHT", 3, 2, true, true, 0, 53, 10, -1},
      {"append, disk full", "UNDEL.BHT", 3, 3, true, true, 0, 61, 0, 2},
      {"no records", "MISSING.BHT", 0, 0, false, false, 0, 0, 0, -1},
      {"the largest upload replaces a file", "ORDERS.BHT", 32767, 32767, false, true, 0, 0, 0, -1},
      {"append, success", "ORDERS.BHT", 2, 2, true, true, 0, 0, 0, -1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ReceiveRig r;
    r.p.settings.AppendOutput = c.append;
    r.cancelAfterWrites = c.cancelAfterWrites;
    r.system.failWritesAfter = c.goodWrites;
    if (c.existing) r.WriteFile(c.name, before);
    Strings script = {Heading(c.name, c.count, {2})};
    for (int k = 1; k <= c.sent; ++k) script.push_back(Text(k, "aa"));
    for (int k = 0; k < c.badBlocks; ++k) script.push_back(Text(c.sent + 5, "aa"));
    script.push_back(c.sent == c.count || c.badBlocks > 0 ? EOT : "");
    EXPECT_EQ(r.Receive(script), c.code);
    // A failure leaves a file before as it was, or none; an appended upload follows what was there.
    std::string expected = c.append || c.code != 0 ? before : "";
    for (int k = 0; k < c.sent && c.code == 0; ++k) expected += "aa\r\n";
    const bool kept = c.existing || c.code == 0;
    EXPECT_EQ(r.Exists(c.name) ? r.ReadFile(c.name) : "none", kept ? expected : "none");
    if (c.code == 0) continue;
    // No field file stays behind. The PC gives up with EOT, ACK, except where the terminal closed
    // the link or the disk failed.
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(r.dir), {}), kept ? 1 : 0);
    const Strings closing = {EOT, ACK};
    const Strings last = r.out.size() < 2 ? r.out : Strings(r.out.end() - 2, r.out.end());
    EXPECT_EQ(c.badBlocks == 0 && c.goodWrites < 0 ? last : closing, closing);
  }
}

TEST(ReceiveFile, FreeSpaceRuleAndProgressDisplay) {
  // Two records of 4 characters need 12 bytes on the drive.
  auto question = [](const std::string& e) {
    return "[Free Space DLL error (" + e + ")] Can not calculate free space \r is there > " +
           "0.012kBytes free" + e;
  };
  const std::string uncounted =
      "[ Free Space DLL error (6) ] Can not calculate free space \r is there > 0.012 kBytes free";
  const DiskSpace huge{true, true, 0, 8, 4096, 1ull << 30, 1ull << 31};
  struct Case {
    std::string what, dir;
    DiskSpace space;
    bool yes;
    int16_t code;
    std::string question;  // the question box, when one is asked
  };
  const Case cases[] = {
      {"room on A:", "A:\\", {true, true, 0, 2, 3, 2, 100}, false, 0, ""},
      {"no room on B:", "B:\\", {true, true, 0, 1, 5, 2, 100}, false, 72, ""},
      {"no query here: assume room", "A:\\", {false, false, 48, 0, 0, 0, 0}, false, 0, ""},
      {"too large to count, No", "A:\\", huge, false, 72, uncounted},
      {"no room, but not drive A: or B:", "a:", {true, true, 0, 1, 1, 0, 0}, false, 0, ""},
      {"query failed, No", "A:\\", {true, false, 71, 0, 0, 0, 0}, false, 72, question("71")},
      {"query failed, Yes", "B:\\", {true, false, 70, 0, 0, 0, 0}, true, 0, question("70")},
  };
  for (const Case& c : cases) {
    ReceiveRig r;
    r.system.driveDir = r.dir;
    r.system.space = c.space;
    r.window.yesNoAnswer = c.yes;
    r.p.file.Directory = c.dir;
    EXPECT_EQ(r.Receive({Heading("ORDERS.BHT", 2, {4}), Text(1, "AAAA"), Text(2, "BBBB"), EOT}),
              c.code)
        << c.what;
    EXPECT_EQ(r.window.boxes, c.question.empty() ? Strings{} : Strings{c.question}) << c.what;
    EXPECT_EQ(r.Exists("ORDERS.BHT"), c.code == 0) << c.what;
    if (c.code != 0) continue;
    std::string seen;
    for (size_t i = 1; i < r.window.log.size(); ++i) seen += r.window.log[i] + "|";
    EXPECT_EQ(seen,
              "StatusBox: Receiving File |FileBox: ORDERS.BHT|RecordsBox:  00002|RecCntBox:  00000|"
              "RecCntBox:  00001|ProgressBar1: 50|complete:  50%|RecCntBox:  00002|"
              "ProgressBar1: 100|complete:  100%|StatusBox: Closing Link|")
        << c.what;
  }
}

}  // namespace
}  // namespace telvaro3
