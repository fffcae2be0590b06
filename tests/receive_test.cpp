// Receiving by the block protocol: heading and block checks, limits, and what is left on the disk.

#include "receive/receive.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <tuple>

#include "support/fakes.h"
#include "support/frames.h"

namespace telvaro3 {
namespace {

using test::ACK, test::ENQ, test::EOT, test::NAK, test::Frame, test::Xor;
using Strings = std::vector<std::string>;

// Blocks as the terminal builds them: numbers with leading zeros, a heading of name (12
// places), record count (5), field count and lengths (2 each), and text blocks.
const auto Digits = [](int v, int n) { return std::to_string(v + 100000).substr(6 - n); };
std::string HeadingText(std::string name, int count, const std::vector<int>& fields) {
  name.resize(12, ' ');
  name += Digits(count, 5) + Digits(static_cast<int>(fields.size()), 2);
  for (int f : fields) name += Digits(f, 2);
  return name;
}
const auto Heading = [](const std::string& name, int count, const std::vector<int>& fields) {
  return Frame('\x01', HeadingText(name, count, fields));
};
const auto Text = [](int n, const std::string& record) {
  return Frame('\x02', Digits(n, 5) + record);
};
Strings operator+(Strings s, const std::string& message) {
  s.push_back(message);
  return s;
}
Strings operator+(Strings s, const Strings& more) {
  s.insert(s.end(), more.begin(), more.end());
  return s;
}
// The heading of `count` records "aa" and the first `sent` of them.
Strings Upload(int count, int sent, const std::string& name = "ORDERS.BHT") {
  Strings s = {Heading(name, count, {2})};
  for (int k = 1; k <= sent; ++k) s.push_back(Text(k, "aa"));
  return s;
}

// A terminal that says ENQ, then answers each write of the PC with its next message ("": none).
struct ReceiveRig : test::TestRig {
  Strings script, out;
  // Cancel is pressed a second after cancelAfterWrites writes of the PC, the device goes away
  // after goneAfterWrites (0: never).
  size_t cancelAfterWrites = 0, goneAfterWrites = 0, longestKept = 0;
  const double start = clock.now;
  double goneAt = -1, firstWriteAt = -1;
  // The line's pace: each answer starts this many seconds after the write, one character every
  // perChar seconds (0: all at once).
  double answerAfter = 0, perChar = 0;
  double enqAfter = 0;  // when the terminal's ENQ comes

  ReceiveRig() {
    comm.onOutput = [this](const std::string& data) {
      out.push_back(data);
      if (out.size() == 1) firstWriteAt = clock.now;
      if (out.size() == cancelAfterWrites) window.cancelAt = clock.now + 1.0;
      if (out.size() == goneAfterWrites) Unplug();
      if (out.size() > script.size()) return;
      const std::string& answer = script[out.size() - 1];
      if (perChar <= 0) return comm.Reply(answer, answerAfter);
      for (size_t i = 0; i < answer.size(); ++i)
        comm.Reply(answer.substr(i, 1), answerAfter + static_cast<double>(i) * perChar);
    };
  }
  // Once the PC has written `writes` times the line talks without end: `noise` over and over,
  // a character every `every` seconds, or with 0 a whole `noise` waiting at every look, a
  // millisecond apart. Notes the longest receive buffer kept meanwhile.
  void Babble(size_t writes, const std::string& noise, double every) {
    window.onEvents = [this, writes, noise, every, next = 0.0, at = size_t{0}]() mutable {
      longestKept = std::max(longestKept, p.state.ReceiveBuffer.size());
      // A wait without end gives up here rather than hang the test.
      if (clock.now > start + 120) p.state.AbortFlag = true;
      if (out.size() < writes) return;
      if (every <= 0) {
        clock.now += 0.001;
        return comm.Reply(noise);
      }
      // A second of it ahead: a wait looks at the window far more often.
      for (next = std::max(next, clock.now); next < clock.now + 1.0; next += every)
        comm.Reply(noise.substr(at++ % noise.size(), 1), next - clock.now);
    };
  }
  // The cradle is pulled out: the port reports the device gone, and nothing more comes.
  void Unplug() {
    comm.portFault = 1008;
    goneAt = clock.now;
  }
  int16_t Receive(const Strings& messages) {  // no messages: the terminal never calls
    script = messages;
    if (!script.empty()) comm.Reply(ENQ, enqAfter);
    return ReceiveFile(p);
  }
  // The directory as "NAME=content;" in name order, field files by name only.
  std::string Listing() const {
    std::string all;
    for (const auto& n : test::NamesIn(dir))
      all += n.ends_with(".FLD") ? n + ";" : n + "=" + ReadFile(n) + ";";
    return all;
  }
};

TEST(ReceiveFile, WellFormedUploadInEveryBlockShapeAndItsDisplay) {
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
    EXPECT_FALSE(r.window.aboutEnabled);
    std::string seen;
    for (size_t i = 1; i < r.window.log.size(); ++i) seen += r.window.log[i] + "|";
    EXPECT_EQ(seen,
              "StatusBox: Receiving File |FileBox: ORDERS.BHT|RecordsBox:  00002|RecCntBox:  00000|"
              "RecCntBox:  00001|ProgressBar1: 50|complete:  50%|RecCntBox:  00002|"
              "ProgressBar1: 100|complete:  100%|StatusBox: Closing Link|");
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
  // What, the bytes, the code, and how many seconds after the others the last byte comes.
  const std::tuple<const char*, std::string, int16_t, double> cases[] = {
      {"field count 00", soh("ORDERS.BHT  000030010"), 70, 0},
      {"field count 17", Heading("ORDERS.BHT", 3, std::vector<int>(17, 1)), 70, 0},
      {"field length 00", Heading("ORDERS.BHT", 3, {5, 0}), 70, 0},
      {"field length 99", Heading("ORDERS.BHT", 3, {99}), 0, 0},
      {"record count 32768", Heading("ORDERS.BHT", 32768, {5}), 70, 0},
      {"record count 32767", Heading("ORDERS.BHT", 32767, {5}), 0, 0},
      {"16 x 15", Heading("ORDERS.BHT", 1, std::vector<int>(16, 15)), 70, 0},
      {"16 fields, 239", Heading("ORDERS.BHT", 1, sum239), 0, 0},
      {"3 fields, 24 chars", soh(HeadingText("ORDERS.BHT", 1, {1, 2, 3}).substr(0, 24)), 1, 0},
      {"3 fields, 26 chars", soh(HeadingText("ORDERS.BHT", 1, {1, 2, 3}) + "4"), 1, 0},
      {"16 fields, 50 chars", soh(HeadingText("ORDERS.BHT", 1, std::vector<int>(16, 1)) + "4"), 1,
       0},
      {"program heading of 18", soh("TAKE.PD3    00001X"), 1, 0},
      {"program heading of 17", soh("TAKE.PD3    00001"), 79, 0},
      {"bad characters", Heading("ORD+RS.BHT", 1, {5}), 70, 0},
      {"accepted name RETURNS", Heading("RETURNS.BHT", 1, {5}), 0, 0},
      {"accepted name TAKE", Heading("TAKE.BHT", 1, {5}), 0, 0},
      {"accepted name TRANSFER", Heading("TRANSFER.BHT", 1, {5}), 0, 0},
      {"wrong check", bad, 1, 0},
      {"lost NUL check", "\x01" + nulText + "\x03", 0, 0},
      {"check lost, not NUL", good.substr(0, good.size() - 1), 1, 0},
      {"ENQ anywhere", good + ENQ, 4, 0},
      {"ENQ alone", ENQ, 4, 0},
      {"no SOH", good.substr(1), 2, 0},
      // On a slow line the check character lands a character time after the ETX, but not later.
      {"check a character late", good, 0, 0.0005},
      {"check 0.2 s late", good, 1, 0.2},
  };
  for (const auto& [what, bytes, code, late] : cases) {
    ReceiveRig r;
    r.comm.Reply(bytes.substr(0, bytes.size() - 1));
    r.comm.Reply(bytes.substr(bytes.size() - 1), late);
    EXPECT_EQ(ReceiveHeader(r.p), code) << what;
  }
}

TEST(ReceiveFile, AnswersAndWhatEachOutcomeLeavesOnTheDisk) {
  std::string nulRecord = "ABC";  // its last byte makes the check character NUL
  nulRecord += Xor("00001" + nulRecord + "\x03");
  const std::string nulBlock = Frame('\x02', "00001" + nulRecord, false);
  std::string badText = Text(1, "WXYZ"), badHeading = Heading("ORDERS.BHT", 1, {2});
  badText.back() ^= 1;
  badHeading.back() ^= 1;
  const std::string h = Heading("UNDEL.BHT", 2, {4}), a = Text(1, "AAAA"), b = Text(2, "BBBB");
  const std::string ab = "UNDEL.BHT=AAAA\r\nBBBB\r\n;UNDEL.FLD;", old = "OLD RECORD\r\nno line end";
  const Strings acks(6, ACK), nak = {ACK, ACK, NAK, ACK, ACK, ACK}, stop = {EOT, ACK};
  Strings tenNaks(12, NAK);
  tenNaks.front() = tenNaks.back() = ACK;
  const DiskSpace huge{true, true, 0, 8, 4096, 1ull << 30, 1ull << 31},
      countable{true, true, 0, 8, 4096, INT32_MAX / 32768, 1ull << 31};
  auto box = [](const std::string& e) {
    return "[Free Space DLL error (" + e + ")] Can not calculate free space \r is there > " +
           "0.012kBytes free" + e;
  };
  const std::string uncounted =
      "[ Free Space DLL error (6) ] Can not calculate free space \r is there > 0.012 kBytes free";
  const Strings up = {h, a, b, EOT};
  const std::string kept = "ORDERS.BHT=" + old + ";";
  std::string largest = "ORDERS.BHT=";
  for (int k = 0; k < 32767; ++k) largest += "aa\r\n";
  largest += ";ORDERS.FLD;";
  const Strings any;
  const std::string hundred(100, 'r');
  struct Case {
    std::string what;
    Strings script;  // the terminal's messages after its ENQ, one per write of the PC
    int16_t code;
    std::string files;  // the directory afterwards
    Strings last;       // the PC's last writes
    // a: append; c: Cancel a second after the third write; f: the disk is full after two lines;
    // o: a file of the heading's name holds `old` at the start; y: Yes to the question asked;
    // r: a read-only field file of the heading's name; t: four waits before giving up; l: a
    // late terminal, its ENQ after three waits and every block after two; h: the file of the
    // heading's name held under its lock, as by another reception or an importer; s: a line of
    // 300 baud, the terminal starting each answer 2.5 s late, at the line's pace; T: waits for
    // 27 hours allowed (+T0); g and a digit: the device goes away (a cradle unplugged) after that
    // many writes of the PC.
    std::string options = "", dir = "";
    DiskSpace space = {};
    std::string box = "";
  };
  const Case cases[] = {
      {"lost NUL check", Strings{Heading("UNDEL.BHT", 1, {4})} + nulBlock + EOT, 0,
       "UNDEL.BHT=" + nulRecord + "\r\n;UNDEL.FLD;", Strings(4, ACK)},
      {"repeated block", {h, a, a, b, EOT}, 0, ab, acks},
      {"wrong serial", {h, a, Text(3, "CCCC"), b, EOT}, 0, ab, {ACK, ACK, ACK, NAK, ACK, ACK}},
      {"bad check", {h, badText, a, b, EOT}, 0, ab, nak},
      {"lone ENQ", {h, ENQ, a, b, EOT}, 0, ab, nak},
      {"too long", {h, Text(1, "AAAAA"), a, b, EOT}, 0, ab, nak},
      // The tenth NAK leads to closing, not to giving up: the terminal's EOT gets its ACK.
      {"NAK limit", Strings(10, badHeading) + EOT, 53, "", tenNaks},
      // Nobody calls: the PC gives up after four waits of three seconds.
      {"silence", {}, 51, "", stop, "t"},
      {"refused heading", Upload(40000, 0), 70, kept, stop, "o"},
      {"silence after a record", Upload(3, 1), 51, "", stop},
      {"silence, a file before", Upload(3, 1), 51, kept, stop, "o"},
      {"cancel after a record", Upload(2, 1), 90, kept, stop, "co"},
      {"disk full", Upload(3, 3) + EOT, 61, kept, {}, "fo"},
      // A terminal that then keeps sending instead of closing: the lost record stays the cause.
      {"disk full, no close", Upload(3, 3), 61, kept, stop, "fo"},
      {"append, silence", Upload(3, 2), 51, kept, stop, "ao"},
      {"append, lower case", Upload(1, 0, "orders.bht"), 79, "orders.bht=" + old + ";", stop, "ao"},
      {"append, no file before", Upload(2, 1), 51, "", stop, "a"},
      {"append, NAK limit", Upload(3, 2) + Strings(10, Text(7, "aa")) + EOT, 53, kept, {}, "ao"},
      {"append, disk full", Upload(3, 3) + EOT, 61, kept, {}, "afo"},
      {"no records", Upload(0, 0, "MISSING.BHT") + EOT, 0, "MISSING.BHT=;MISSING.FLD;", {}},
      // The link, the heading and every record start the count of waits afresh.
      {"a late terminal", up, 0, ab, any, "tl"},
      // At 300 baud a heading and a block of 100 characters, each begun 2.5 s into its wait, take
      // longer than the 3 s: the waits run on while they come in.
      {"a slow line", Strings{Heading("ORDERS.BHT", 1, {99, 1}), Text(1, hundred), EOT}, 0,
       "ORDERS.BHT=" + hundred + "\r\n;ORDERS.FLD;", Strings(4, ACK), "s"},
      {"the largest upload replaces a file", Upload(32767, 32767) + EOT, 0, largest, any, "o"},
      // The records stand or fall with a field file that describes them.
      {"field file on a full disk", Upload(2, 2) + EOT, 61, kept, any, "fo"},
      {"append, field file on a full disk", Upload(2, 2) + EOT, 61, kept, any, "afo"},
      {"read-only field file", Upload(2, 2) + EOT, 99, kept + "ORDERS.FLD;", any, "or"},
      {"append, read-only field file", Upload(2, 2) + EOT, 99, kept + "ORDERS.FLD;", any, "aor"},
      {"held by another", Upload(2, 2) + EOT, 71, kept, stop, "oh"},
      {"append, held by another", Upload(2, 2) + EOT, 71, kept, stop, "aoh"},
      {"append, success", Upload(2, 2) + EOT, 0, "ORDERS.BHT=" + old + "aa\r\naa\r\n;ORDERS.FLD;",
       any, "ao"},
      // Two records of 4 characters need 12 bytes on drives A: and B:.
      {"room on A:", up, 0, ab, any, "", "A:\\", {true, true, 0, 2, 3, 2, 100}},
      {"no room on B:", up, 72, "", stop, "", "B:\\", {true, true, 0, 1, 5, 2, 100}},
      {"no query here: assume room", up, 0, ab, any, "", "A:\\", {false, false, 48, 0, 0, 0, 0}},
      {"no room, but not drive A: or B:", up, 0, ab, any, "", "a:", {true, true, 0, 1, 1, 0, 0}},
      {"the largest count that fits", up, 0, ab, any, "", "A:\\", countable},
      {"too large to count, No", up, 72, "", stop, "", "A:\\", huge, uncounted},
      {"query failed, No", up, 72, "", stop, "", "A:\\", {true, false, 71, 0, 0, 0, 0}, box("71")},
      {"query failed, Yes", up, 0, ab, any, "y", "B:\\", {true, false, 70, 0, 0, 0, 0}, box("70")},
      // A device that has gone ends the transfer at once with the port's fault, in whichever wait
      // it happens, however long the waits allowed; the PC's file stays as it was.
      {"gone before the link", {}, 1008, kept, any, "oTg0"},
      {"gone in the heading wait", {""}, 1008, kept, any, "oTg1"},
      {"gone in a text wait", {Upload(3, 3)[0], ""}, 1008, kept, any, "oTg2"},
      {"gone in the closing wait", Upload(3, 3) + "", 1008, kept, any, "oTg5"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ReceiveRig r;
    auto has = [&](char option) { return c.options.find(option) != std::string::npos; };
    r.p.settings.AppendOutput = has('a');
    r.cancelAfterWrites = has('c') ? 3 : 0;
    r.system.failWritesAfter = has('f') ? 2 : -1;
    if (has('o')) r.WriteFile(c.files.substr(0, c.files.find('=')), old);  // the listing's first
    if (has('r')) {
      r.WriteFile("ORDERS.FLD", "fields 10 5\r\n");
      std::filesystem::permissions(r.tmp.Path("ORDERS.FLD"), std::filesystem::perms::owner_read);
    }
    const int held = has('h') ? ::open(r.tmp.Path("ORDERS.BHT").c_str(), O_RDONLY) : -1;
    if (held >= 0) ::flock(held, LOCK_EX);
    r.window.yesNoAnswer = has('y');
    r.p.settings.TimeoutCount = has('t') ? 4 : has('T') ? 32500 : r.p.settings.TimeoutCount;
    r.goneAfterWrites = has('g') ? c.options.back() - '0' : 0;
    if (has('g') && r.goneAfterWrites == 0) r.Unplug();
    if (has('l')) r.enqAfter = 9.5, r.answerAfter = 6.5;
    if (has('s')) r.p.settings.BaudRate = "300", r.answerAfter = 2.5, r.perChar = 10.0 / 300;
    r.system.driveDir = r.dir;
    if (!c.dir.empty()) r.p.file.Directory = c.dir, r.system.space = c.space;
    EXPECT_EQ(r.Receive(c.script), c.code);
    EXPECT_EQ(r.Listing(), c.files);
    const size_t n = std::min(r.out.size(), c.last.size());
    EXPECT_EQ(Strings(r.out.end() - n, r.out.end()), c.last);
    EXPECT_EQ(r.window.boxes, c.box.empty() ? Strings{} : Strings{c.box});
    EXPECT_TRUE(!has('g') || r.clock.now - r.goneAt < 0.1);  // at once
    if (held >= 0) ::close(held);
    // Four waits of three seconds before the silent line is given up, the late ENQ's ACK after 9.5.
    EXPECT_NEAR(has('t') ? r.firstWriteAt - r.start : 12, has('l') ? 9.5 : 12, 0.5);
  }
}

// Whatever the line sends, each wait ends at its limit and counts once against the time-outs (ten
// waits of three seconds by default); a block still coming in at the line's pace is waited for
// (the slow line of the outcomes table), but no longer than the longest block takes on the line.
// What is kept of the input stays within a heading or one read.
TEST(ReceiveFile, EveryWaitEndsWhateverTheLineSends) {
  const std::string heading = Heading("ORDERS.BHT", 1, {2}), headingStart = "\x01ORDERS.BHT  ";
  std::string noise = headingStart;
  noise.resize(64, '\xaa');
  // What, the answers to the PC's writes (as in the rig), after how many writes the babble
  // starts, of what, a character every so many seconds (0: always waiting), then the code and the
  // seconds from the PC's first write to the end.
  const std::tuple<const char*, Strings, size_t, std::string, double, int16_t, double> cases[] = {
      {"noise after the link, paced", {""}, 1, "\xaa\x55", 0.005, 51, 30},
      {"noise after the link, always waiting", {""}, 1, noise, 0, 51, 30},
      {"a heading that never ends, paced", {headingStart}, 1, "A", 0.005, 51, 30},
      // Each wait of a 10-character block is stretched by a character every 0.9 s, but only to
      // 4 s: 3 s, the line time of the block, and a pause of 1 s.
      {"a text block that never ends, paced", {heading}, 2, ".", 0.9, 51, 40.1},
      // A text block's wait ends once as many characters are waiting as a block holds.
      {"noise in the text phase, always waiting", {heading}, 2, noise, 0, 51, 0},
  };
  for (const auto& [what, script, after, babble, every, code, seconds] : cases) {
    SCOPED_TRACE(what);
    ReceiveRig r;
    r.Babble(after, babble, every);
    EXPECT_EQ(r.Receive(script), code);
    EXPECT_NEAR(r.clock.now - r.firstWriteAt, seconds, 0.5);
    EXPECT_EQ(r.Listing(), "");
    EXPECT_EQ(Strings(r.out.end() - 2, r.out.end()), Strings({EOT, ACK}));
    EXPECT_LE(r.longestKept, 64u);
  }
}

}  // namespace
}  // namespace telvaro3
