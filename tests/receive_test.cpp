// Receiving by the block protocol from a scripted terminal: the PC file and its field file,
// heading checks, text-block checks, the failure paths and what they leave on the disk.

#include "receive/receive.h"

#include <gtest/gtest.h>

#include <deque>
#include <filesystem>

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

std::string Pad(const std::string& s, size_t n, char c) {
  return s + std::string(n - s.size(), c);
}
std::string Digits(int v, size_t n) {
  return Pad("", n - std::to_string(v).size(), '0') + std::to_string(v);
}

std::string HeadingText(const std::string& name, int count, const std::vector<int>& fields) {
  std::string t =
      Pad(name, 12, ' ') + Digits(count, 5) + Digits(static_cast<int>(fields.size()), 2);
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
  std::deque<std::string> script;
  std::vector<std::string> out;
  std::function<void(const std::string&)> onWrite;

  ReceiveRig() {
    SetDefaults(p);
    window.Bind([this] { p.state.AbortFlag = true; }, nullptr);
    comm.onOutput = [this](const std::string& data) {
      out.push_back(data);
      if (onWrite) onWrite(data);
      if (script.empty()) return;
      const std::string next = script.front();
      script.pop_front();
      if (!next.empty()) comm.Reply(next);
    };
  }
  int16_t Receive(std::initializer_list<std::string> messages) {
    script.assign(messages.begin(), messages.end());
    comm.Reply(ENQ);
    return ReceiveFile(p);
  }
  int Count(const std::string& what) const {
    int n = 0;
    for (const auto& w : out) n += w == what;
    return n;
  }
};

TEST(ReceiveFile, WellFormedUploadWritesTheFileAndItsFieldFile) {
  ReceiveRig r;
  const std::string high = "\xe9t\xe9\x80\xff\x01";  // bytes above 127 and a control byte
  ASSERT_EQ(r.Receive({Heading("ORDERS.BHT", 3, {10, 5}), Text(1, "ABCDEFGHIJ12345"),
                       Text(2, Pad(high, 15, ' ')), Text(3, "          00000"), EOT}),
            0);
  EXPECT_EQ(r.ReadFile("ORDERS.BHT"),
            "ABCDEFGHIJ12345\r\n" + Pad(high, 15, ' ') + "\r\n          00000\r\n");
  EXPECT_EQ(r.out, std::vector<std::string>(6, ACK));
  EXPECT_EQ(r.p.state.TransferPhase, kPhaseDone);
  const std::string fld = r.ReadFile("ORDERS.FLD");
  EXPECT_NE(fld.find("\r\nfile    ORDERS.BHT\r\n"), std::string::npos) << fld;
  EXPECT_NE(fld.find("\r\nrecords 3\r\n"), std::string::npos) << fld;
  EXPECT_NE(fld.find("\r\nfields  10 5\r\n"), std::string::npos) << fld;
  EXPECT_EQ(r.window.Get(Field::StatusBox), "Closing Link");
  EXPECT_EQ(r.window.Get(Field::RecordsBox), " 00003");
  EXPECT_EQ(r.window.Get(Field::complete), " 100%");
  EXPECT_FALSE(r.window.aboutEnabled);
}

TEST(ReceiveFile, NameOutsideTheAcceptedSeven) {
  for (const char* name : {"OTHER.TXT", "orders.bht", "ORDERS.BH"}) {
    ReceiveRig r;
    EXPECT_EQ(r.Receive({Heading(name, 1, {5})}), 79) << name;
    EXPECT_TRUE(std::filesystem::is_empty(r.dir)) << name;
    EXPECT_EQ(r.out, (std::vector<std::string>{ACK, EOT, ACK})) << name;
  }
}

TEST(ReceiveHeader, RefusalsAndRejections) {
  auto fields = [](int n, int len) { return std::vector<int>(n, len); };
  std::vector<int> sum239(16, 15);
  sum239[0] = 14;
  struct Case {
    std::string what, text;
    int16_t code;
  };
  const Case cases[] = {
      {"accepted", HeadingText("ORDERS.BHT", 3, {10, 5}), 0},
      {"field count 00", "ORDERS.BHT  000030010", 70},
      {"field count 17", HeadingText("ORDERS.BHT", 3, fields(17, 1)), 70},
      {"field length 00", HeadingText("ORDERS.BHT", 3, {5, 0}), 70},
      {"record count 32768", HeadingText("ORDERS.BHT", 32768, {5}), 70},
      {"record count 32767", HeadingText("ORDERS.BHT", 32767, {5}), 0},
      {"negative count",
       "ORDERS.BHT  -0001"
       "0105",
       70},
      {"16 x 15", HeadingText("ORDERS.BHT", 1, fields(16, 15)), 70},
      {"16 x 14", HeadingText("ORDERS.BHT", 1, fields(16, 14)), 0},
      {"16 fields, 239", HeadingText("ORDERS.BHT", 1, sum239), 0},
      {"one field of 99", HeadingText("ORDERS.BHT", 1, {99}), 0},
      {"3 fields, 24 chars", HeadingText("ORDERS.BHT", 1, {1, 2, 3}).substr(0, 24), 1},
      {"3 fields, 26 chars", HeadingText("ORDERS.BHT", 1, {1, 2, 3}) + "4", 1},
      {"data heading of 20", "ORDERS.BHT  00003010", 1},
      {"program heading of 18", "TAKE.PD3    00001X", 1},
      {"program heading of 17", "TAKE.PD3    00001", 79},
      {"bad characters", HeadingText("ORD+RS.BHT", 1, {5}), 70},
      {"name too long",
       "ORDERS.BHTXX00001"
       "0105",
       70},
  };
  for (const Case& c : cases) {
    ReceiveRig r;
    r.comm.Reply(Frame('\x01', c.text));
    EXPECT_EQ(ReceiveHeader(r.p), c.code) << c.what;
  }
}

TEST(ReceiveHeader, FramingAndCheckCharacter) {
  const std::string good = Heading("LIST.BHT", 2, {4, 4});
  std::string bad = good;
  bad.back() ^= 0x20;
  // A heading whose check character is NUL, so that losing it changes nothing. A heading of
  // digits alone never cancels out; a tab in the record count counts for nothing in its value.
  std::string nulText;
  for (int c = 0; c < 100 && nulText.empty(); ++c)
    for (int len = 1; len <= 99 && nulText.empty(); ++len) {
      const std::string t = "UNDEL.BHT   \t" + Digits(c, 4) + "01" + Digits(len, 2);
      if (Xor(t + "\x03") == std::string(1, '\0')) nulText = t;
    }
  ASSERT_FALSE(nulText.empty());
  struct Case {
    std::string what, bytes;
    int16_t code;
  };
  const Case cases[] = {
      {"noise before SOH", "zz\x15" + good, 0},
      {"wrong check", bad, 1},
      {"lost NUL check", "\x01" + nulText + "\x03", 0},
      {"NUL check present", "\x01" + nulText + "\x03" + std::string(1, '\0'), 0},
      {"check lost, not NUL", good.substr(0, good.size() - 1), 1},
      {"trailing byte that cancels out", good + std::string(1, '\0'), 0},
      {"trailing noise", good + "x", 1},
      {"ENQ anywhere", good + ENQ, 4},
      {"no SOH", good.substr(1), 2},
      {"16 characters only", Frame('\x01', "LIST.BHT    0000"), 2},
      {"nothing", "", 2},
  };
  for (const Case& c : cases) {
    ReceiveRig r;
    if (!c.bytes.empty()) r.comm.Reply(c.bytes);
    EXPECT_EQ(ReceiveHeader(r.p), c.code) << c.what;
  }
  // On a slow line the check character lands a character time after the ETX.
  for (double late : {0.0005, 0.2}) {
    ReceiveRig r;
    r.comm.Reply(good.substr(0, good.size() - 1));
    r.comm.Reply(good.substr(good.size() - 1), late);
    EXPECT_EQ(ReceiveHeader(r.p), late < 0.05 ? 0 : 1) << late;
  }
}

TEST(ReceiveFile, RefusedHeadingGives70AndNoFile) {
  ReceiveRig r;
  EXPECT_EQ(r.Receive({Heading("ORDERS.BHT", 1, {5, 0})}), 70);
  EXPECT_TRUE(std::filesystem::is_empty(r.dir));
  EXPECT_EQ(r.out, (std::vector<std::string>{ACK, EOT, ACK}));
}

TEST(ReceiveFile, TenNaksGive53) {
  // Ten bad headings; the terminal then gives up with EOT and the PC closes normally.
  ReceiveRig r;
  std::string bad = Heading("ORDERS.BHT", 1, {5});
  bad.back() ^= 1;
  r.script.assign(10, bad);
  r.script.push_back(EOT);
  r.comm.Reply(ENQ);
  EXPECT_EQ(ReceiveFile(r.p), 53);
  EXPECT_EQ(r.Count(NAK), 10);
  EXPECT_EQ(r.out.back(), ACK);
  EXPECT_EQ(r.p.state.TransferPhase, kPhaseDone);
}

TEST(ReceiveFile, TextBlockChecks) {
  // A record whose check character is NUL: its last byte cancels the rest.
  std::string nulRecord = "ABC";
  nulRecord += Xor("00001" + nulRecord + "\x03");
  ASSERT_FALSE(nulRecord.empty());
  std::string bad = Text(1, "WXYZ");
  bad.back() ^= 1;
  struct Case {
    std::string what;
    std::vector<std::string> blocks;  // after the heading, before EOT
    std::vector<std::string> answers;
    std::string file;
  };
  const Case cases[] = {
      {"lost NUL check", {Frame('\x02', "00001" + nulRecord, false)}, {ACK}, nulRecord + "\r\n"},
      {"repeated block",
       {Text(1, "AAAA"), Text(1, "AAAA"), Text(2, "BBBB")},
       {ACK, ACK, ACK},
       "AAAA\r\nBBBB\r\n"},
      {"wrong serial",
       {Text(1, "AAAA"), Text(3, "CCCC"), Text(2, "BBBB")},
       {ACK, NAK, ACK},
       "AAAA\r\nBBBB\r\n"},
      {"bad check", {bad, Text(1, "WXYZ"), Text(2, "BBBB")}, {NAK, ACK, ACK}, "WXYZ\r\nBBBB\r\n"},
      {"lone ENQ", {ENQ, Text(1, "AAAA"), Text(2, "BBBB")}, {NAK, ACK, ACK}, "AAAA\r\nBBBB\r\n"},
      {"too long",
       {Text(1, "AAAAA"), Text(1, "AAAA"), Text(2, "BBBB")},
       {NAK, ACK, ACK},
       "AAAA\r\nBBBB\r\n"},
  };
  for (const Case& c : cases) {
    ReceiveRig r;
    const int count = c.what == "lost NUL check" ? 1 : 2;
    r.script.push_back(Heading("UNDEL.BHT", count, {4}));
    for (const auto& b : c.blocks) r.script.push_back(b);
    r.script.push_back(EOT);
    r.comm.Reply(ENQ);
    EXPECT_EQ(ReceiveFile(r.p), 0) << c.what;
    std::vector<std::string> expected = {ACK, ACK};
    expected.insert(expected.end(), c.answers.begin(), c.answers.end());
    expected.push_back(ACK);
    EXPECT_EQ(r.out, expected) << c.what;
    EXPECT_EQ(r.ReadFile("UNDEL.BHT"), c.file) << c.what;
  }
}

TEST(ReceiveFile, OptionsShapeTheExpectedBlock) {
  for (const bool bcc : {true, false})
    for (const bool serial : {true, false}) {
      ReceiveRig r;
      r.p.settings.BlockCheck = bcc;
      r.p.settings.SerialNumbers = serial;
      auto block = [&](int n, const std::string& rec) {
        return Frame('\x02', (serial ? Digits(n, 5) : "") + rec, bcc);
      };
      EXPECT_EQ(r.Receive({Frame('\x01', HeadingText("TAKE.BHT", 2, {3}), bcc), block(1, "ab\xa3"),
                           block(2, "xyz"), EOT}),
                0);
      EXPECT_EQ(r.ReadFile("TAKE.BHT"), "ab\xa3\r\nxyz\r\n");
    }
}

TEST(ReceiveFile, CancelInTheTextPhase) {
  ReceiveRig r;
  r.onWrite = [&](const std::string&) {
    if (r.out.size() == 3) r.window.cancelAt = r.clock.now + 1.0;  // after the first record
  };
  EXPECT_EQ(r.Receive({Heading("RETURNS.BHT", 2, {4}), Text(1, "AAAA"), ""}), 90);
  EXPECT_EQ(r.out, (std::vector<std::string>{ACK, ACK, ACK, EOT, ACK}));
  EXPECT_TRUE(std::filesystem::is_empty(r.dir));
}

TEST(ReceiveFile, ZeroRecordsGiveAnEmptyFileAndItsFieldFile) {
  ReceiveRig r;
  EXPECT_EQ(r.Receive({Heading("MISSING.BHT", 0, {8}), EOT}), 0);
  EXPECT_TRUE(r.Exists("MISSING.BHT"));
  EXPECT_EQ(r.ReadFile("MISSING.BHT"), "");
  EXPECT_TRUE(r.Exists("MISSING.FLD"));
  EXPECT_EQ(r.window.Get(Field::complete), "100%");
  EXPECT_EQ(r.window.progress, 100);
}

TEST(ReceiveFile, TimeoutsAndEotInTheLinkPhase) {
  {
    ReceiveRig r;  // nobody calls
    r.p.settings.TimeoutCount = 4;
    EXPECT_EQ(ReceiveFile(r.p), 51);
    EXPECT_EQ(r.out, (std::vector<std::string>{EOT, ACK}));
  }
  {
    ReceiveRig r;
    r.comm.Reply(EOT);
    EXPECT_EQ(ReceiveFile(r.p), 51);
    EXPECT_EQ(r.p.state.TransferPhase, kPhaseStopped);
  }
}

TEST(ReceiveFile, SilenceAfterSomeRecordsLeavesNoFile) {
  ReceiveRig r;
  EXPECT_EQ(r.Receive({Heading("TRANSFER.BHT", 3, {2}), Text(1, "aa"), ""}), 51);
  EXPECT_TRUE(std::filesystem::is_empty(r.dir));
  EXPECT_EQ(r.out.back(), ACK);
  EXPECT_EQ(r.out[r.out.size() - 2], EOT);
}

TEST(ReceiveFile, AppendedFileIsGivenBackExactlyOnFailure) {
  const std::string before = "OLD RECORD\r\nno line end";
  {
    ReceiveRig r;
    r.p.settings.AppendOutput = true;
    r.WriteFile("ORDERS.BHT", before);
    EXPECT_EQ(r.Receive({Heading("ORDERS.BHT", 3, {2}), Text(1, "aa"), Text(2, "bb"), ""}), 51);
    EXPECT_EQ(r.ReadFile("ORDERS.BHT"), before);
  }
  {
    ReceiveRig r;  // a name outside the seven: refused after the file was opened
    r.p.settings.AppendOutput = true;
    r.WriteFile("LIST.TXT", before);
    EXPECT_EQ(r.Receive({Heading("LIST.TXT", 1, {2})}), 79);
    EXPECT_EQ(r.ReadFile("LIST.TXT"), before);
  }
  {
    ReceiveRig r;  // success appends
    r.p.settings.AppendOutput = true;
    r.WriteFile("ORDERS.BHT", before);
    EXPECT_EQ(r.Receive({Heading("ORDERS.BHT", 1, {2}), Text(1, "aa"), EOT}), 0);
    EXPECT_EQ(r.ReadFile("ORDERS.BHT"), before + "aa\r\n");
  }
  {
    ReceiveRig r;  // no file before: a failure removes it
    r.p.settings.AppendOutput = true;
    EXPECT_EQ(r.Receive({Heading("ORDERS.BHT", 2, {2}), Text(1, "aa"), ""}), 51);
    EXPECT_FALSE(r.Exists("ORDERS.BHT"));
  }
}

TEST(ReceiveFile, FreeSpaceOnFloppyDrives) {
  struct Case {
    std::string what, directory;
    uint64_t freeClusters;
    bool queryOk, yes;
    int16_t code;
    size_t queries;
  };
  const Case cases[] = {
      {"room enough", "A:\\", 1000, true, false, 0, 1},
      {"drive B", "B:\\", 1000, true, false, 0, 1},
      {"disk full", "A:\\", 0, true, false, 72, 1},
      {"lower-case drive is not checked", "a:\\", 0, true, false, 0, 0},
      {"query failed, Yes", "A:\\", 0, false, true, 0, 1},
      {"query failed, No", "A:\\", 0, false, false, 72, 1},
  };
  for (const Case& c : cases) {
    ReceiveRig r;
    r.system.driveDir = r.dir;
    r.system.space.freeClusters = c.freeClusters;
    r.system.space.ok = c.queryOk;
    r.window.yesNoAnswer = c.yes;
    r.p.file.Directory = c.directory;
    EXPECT_EQ(r.Receive({Heading("ORDERS.BHT", 1, {15}), Text(1, Pad("", 15, 'x')), EOT}), c.code)
        << c.what;
    EXPECT_EQ(r.system.spaceQueries.size(), c.queries) << c.what;
    if (c.queries) {
      EXPECT_EQ(r.system.spaceQueries[0], c.directory.substr(0, 2) + "\\");
    }
    EXPECT_EQ(r.Exists("ORDERS.BHT"), c.code == 0) << c.what;
    if (!c.queryOk) {
      ASSERT_EQ(r.window.boxes.size(), 1u);
      EXPECT_EQ(r.window.boxes[0],
                "[Free Space DLL error (0)] Can not calculate free space \r is there > "
                "0.017kBytes free0");
    }
  }
}

TEST(WriteRecord, CancelIsSeenAfterTheWrite) {
  ReceiveRig r;
  r.p.file.Name = "TAKE.BHT";
  ASSERT_EQ(OpenFile(r.p, "", "TAKE.BHT", 2, "O"), 0);
  r.p.state.RecordBuffer = "rec";
  EXPECT_EQ(WriteRecord(r.p), 0);
  r.p.state.AbortFlag = true;
  EXPECT_EQ(WriteRecord(r.p), 3);
  CloseFile(r.p, 2);
  EXPECT_EQ(r.ReadFile("TAKE.BHT"), "rec\r\nrec\r\n");
}

TEST(WriteRecord, FailedWriteIsMapped) {
  ReceiveRig r;
  r.p.state.RecordBuffer = "rec";
  EXPECT_EQ(WriteRecord(r.p), 99);  // no file open
  EXPECT_EQ(r.p.state.RunErrNumber, 52);
}

}  // namespace
}  // namespace telvaro3
