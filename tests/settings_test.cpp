// Command line, file names, field lists, field files and record counting.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <tuple>

#include "base/text.h"
#include "link/link.h"
#include "settings/procedures.h"
#include "support/fakes.h"

namespace telvaro3 {
namespace {

struct Rig : test::TestRig {
  int16_t Command(const std::string& line) {
    system.commandLine = line;
    SetDefaults(p);
    return CheckCommand(p);
  }
  // Port, line, send delay, time-outs and the switches, as "1 19200N81 5 10 ..."; when there is
  // a file, its path, records, record length and field file instead.
  std::string Summary() const {
    const RunSettings& s = p.settings;
    const TransferFile& f = p.file;
    if (!f.Name.empty()) {
      return f.Directory + f.Name + " " + std::to_string(f.RecordCount) + " " +
             std::to_string(f.RecordLength) + (f.ProgramFile ? "" : " " + f.FieldFileName) +
             (s.YModem ? " YM" : "");
    }
    return std::to_string(s.Port) + " " + s.BaudRate + s.Parity + s.DataBits + s.StopBits + " " +
           std::to_string(s.SendDelayMs) + " " + std::to_string(s.TimeoutCount) +
           (s.IrDA ? " IR" : "") + (s.YModem ? " YM" : "") + (s.Continuous ? " RX" : "");
  }
};

TEST(CheckCommand, OptionsFilesAndFieldFiles) {
  // Unknown options, out-of-range values and a file option with no list, all read before the file.
  for (const char* bad : {"+P20", "+P01", "+B57600", "+T45", "-EX", "+F", "MISSING.TXT +BAD"}) {
    Rig r;
    EXPECT_EQ(r.Command(bad), 9) << bad;
  }
  std::string max;
  for (int i = 0; i < 32767; ++i) max += "X\r\n";
  // The command line, what data.txt and data.fld (none when null) hold, then the code and the
  // settings (not looked at when empty). Reading stops at the first error, what came before stays
  // set; a single character at the end, or as the whole line, is never read. A field file is
  // read in any case and order, with either line end; it must name the file and list the fields.
  const std::vector<std::tuple<const char*, std::string, const char*, int16_t, const char*>> cases =
      {{"+B9600 +RXON +XYZ +B300", "", nullptr, 9, "1 9600N81 5 10 RX"},
       {"+P19", "", nullptr, 0, "20 19200N81 5 10"},
       {"+p2 +pe +d7 +s2 +ymod +b9600", "", nullptr, 0, "3 9600E72 5 10 YM"},
       {"+IRD20", "", nullptr, 0, "1 19200N81 20 10"},
       {"+IRD-50", "", nullptr, 0, "1 19200N81 0 10"},
       {"+IR", "", nullptr, 0, "1 19200N81 5 10 IR"},
       {"+IRD70000", "", nullptr, 0, "1 19200N81 60000 10"},  // held within a minute
       {"+T60", "", nullptr, 0, "1 19200N81 5 20"},
       {"+T90", "", nullptr, 0, "1 19200N81 5 30"},
       // Every other rate and switch is taken; the last of a kind counts.
       {"+B600 +B1200 +B2400 +B4800 +B38400 +B460800", "", nullptr, 0, "1 460800N81 5 10"},
       {"+PE +PO +D8 +S1 -PB +PB -SN +SN +RSG +CMP +APP +EX +EW +DDE", "", nullptr, 0,
        "1 19200O81 5 10"},
       {"+T0", "", nullptr, 0, "1 19200N81 5 32500"},
       {"+T120", "", nullptr, 0, "1 19200N81 5 40"},
       {"+B9600 +", "", nullptr, 0, "1 9600N81 5 10"},
       {"X", "", nullptr, 0, "1 19200N81 5 10"},
       {"MISSING.TXT +F10", "", nullptr, 1, "MISSING.TXT 0 10 MISSING.FLD"},
       {"DATA.TXT", "1\r\n", "fields 10 5\r\nfile data.txt\r\n", 0, "DATA.TXT 1 15 DATA.FLD"},
       {"DATA.TXT", "1\r\n", "FILE    DATA.TXT\nFIELDS  10 5\n", 0, "DATA.TXT 1 15 DATA.FLD"},
       {"DATA.TXT", "", "FILE OTHER.TXT\r\nFIELDS 10 5\r\n", 8, ""},
       {"DATA.TXT", "1\r\n", "fields 10 5\r\n", 8, ""},
       {"DATA.TXT", "", "FILE DATA.TXT\r\nFIELDS\r\n", 8, ""},
       {"DATA.TXT", "", "FILE DATA.TXT\r\nFIELDS 0 5\r\n", 4, ""},
       {"DATA.TXT", "", nullptr, 8, ""},
       {"DATA.PD3", "", nullptr, 0, "DATA.PD3 1 128"},  // a program file needs no field list
       {"+F10,20 DATA.PD3", "", nullptr, 7, ""},        // and takes none
       {"+YMOD DATA.TXT", "", nullptr, 8, ""},
       {"OUT\\SUB\\DATA.TXT", "", nullptr, 0, "OUT\\SUB\\DATA.TXT 1 4 DATA.FLD"},
       // A directory, then a file name alone: the file is the one in the current directory.
       {"OUT\\SUB\\ DATA.TXT", "1\r\n", "fields 5\r\nfile data.txt\r\n", 0,
        "DATA.TXT 1 5 DATA.FLD"},
       // Names and directories, and the record length and transfer of program kinds.
       {"+F5 ABCDEFGH.TXT", "", nullptr, 1, "ABCDEFGH.TXT 0 5 ABCDEFGH.FLD"},
       {"+F5 ABCDEFGHI.TXT", "", nullptr, 2, ""},
       {"+F5 ABCDEFGH", "", nullptr, 1, "ABCDEFGH 0 5 ABCDEFGH.FLD"},
       {"+F5 ABCDEFGHI", "", nullptr, 2, ""},
       {"+F5 A`!$%^&(.)-_", "", nullptr, 1, "A`!$%^&(.)-_ 0 5 A`!$%^&(.FLD"},
       {"+F5 {}@'~#.TXT", "", nullptr, 1, "{}@'~#.TXT 0 5 {}@'~#.FLD"},
       {"+F5 DATA.TEXT", "", nullptr, 2, ""},
       {"+F5 A.B.C", "", nullptr, 2, ""},
       {"+F5 DATA+1.TXT", "", nullptr, 2, ""},
       {"+F5 C:/DATA.TXT", "", nullptr, 2, ""},
       {"MENU.PD4", "", nullptr, 0, "MENU.PD4 1 1024 YM"},
       {"MENU.FN3", "", nullptr, 0, "MENU.FN3 1 130"},
       // Lines end in CR, LF or both; more than 32767 only by YModem.
       {"+F1 DATA.TXT", "A\rB\rC", nullptr, 0, "DATA.TXT 3 1 DATA.FLD"},
       {"+F1 DATA.TXT", "A\nB\n", nullptr, 0, "DATA.TXT 2 1 DATA.FLD"},
       {"+F1 DATA.TXT", "A\r\n\r\nB", nullptr, 0, "DATA.TXT 3 1 DATA.FLD"},
       {"+F1 DATA.TXT", max, nullptr, 0, "DATA.TXT 32767 1 DATA.FLD"},
       {"+F1 DATA.TXT", max + "X", nullptr, 3, ""},
       {"+YMOD DATA.TXT", max + "X", "file DATA.TXT\r\nfields 1\r\n", 0,
        "DATA.TXT 32768 1 DATA.FLD YM"},
       {"+F1 NOWHERE\\DATA.TXT", "", nullptr, 71, ""}};
  for (const auto& [line, data, fieldFile, code, settings] : cases) {
    Rig r;
    for (const char* name : {"DATA.PD3", "MENU.PD4", "MENU.FN3", "out/sub/data.txt"})
      r.WriteFile(name, "1\r\n");
    r.WriteFile("out/sub/data.fld", "file DATA.TXT\r\nfields 4\r\n");
    r.WriteFile("data.txt", data);
    if (fieldFile) r.WriteFile("data.fld", fieldFile);
    EXPECT_EQ(r.Command(line), code) << line;
    EXPECT_EQ(*settings ? r.Summary() : "", settings) << line;
    // The field file and the counted file are closed after reading, whatever came.
    EXPECT_FALSE(r.p.files[3] || r.p.files[1]) << line;
  }
}

TEST(CheckCommand, BlanksPipesUtf8AndNamesLatin1CannotHold) {
  Rig r;
  EXPECT_EQ(CheckFileArg(r.p, "C:\\BAD DIR\\"), 2);  // one argument that holds a blank
  // A named pipe is not a file to send: refused at once, not waited on for a writer.
  ASSERT_EQ(mkfifo((r.dir + "/pipe.txt").c_str(), 0600), 0);
  EXPECT_EQ(r.Command("+F5 PIPE.TXT"), 99);
  // The command line arrives as UTF-8 arguments and is read as Latin-1: the pound sign is one
  // character of a valid name, and the file is found again under its UTF-8 name.
  r.WriteFile("\302\243data.txt", "A\r\nB\r\n");
  posix::PosixSystem system(r.dir, {"+F5", "\302\243data.txt"}, "/usr/bin/telvaro3");
  Program p(r.comm, r.window, system);
  SetDefaults(p);
  EXPECT_EQ(CheckCommand(p), 0);
  EXPECT_EQ(p.file.Name + std::to_string(p.file.RecordCount) + p.file.FieldFileName,
            "\243DATA.TXT2\243DATA.FLD");
  // A character beyond Latin-1 (U+0100 on) reads as one '?', whatever its length; bytes that are
  // not UTF-8 (a sequence cut short or broken) are taken as the Latin-1 characters they are.
  const std::pair<std::string, std::string> texts[] = {
      {"\302\243\303\251", "\243\351"},   {"\346\227\245y", "?y"},  {"\360\237\230\200x", "?x"},
      {"\360\237A\200", "\360\237A\200"}, {"\346\227", "\346\227"}, {"\303(\377", "\303(\377"},
      {"\303\277\304\200", "\377?"}};
  for (const auto& [utf8, latin1] : texts) EXPECT_EQ(Utf8ToLatin1(utf8), latin1) << utf8;
  // A working directory whose name Latin-1 cannot hold: its '?' stand-ins must not lead into a
  // sibling whose name reads the same in Latin-1.
  r.WriteFile("\xE6\x97\xA5\xE6\x9C\xAC/ORDERS.FLD", "sibling");
  const std::string here = r.dir + "/\xE4\xB8\xAD\xE5\x9B\xBD";
  std::filesystem::create_directories(here);
  posix::PosixSystem there(here);
  EXPECT_EQ(there.Resolve(there.CurrentDirectory() + "ORDERS.FLD"), here + "/./ORDERS.FLD");
}

TEST(SetFields, ListsAndLimits) {
  std::string r15 = "15", r14 = "14", r1 = "1";
  for (int i = 1; i < 16; ++i) r15 += ",15", r14 += ",14", r1 += ",1";
  // The list, then the code, field count and record length it gives.
  const std::vector<std::tuple<std::string, int16_t, int16_t, int16_t>> cases = {
      {"99,99,54", 0, 3, 252}, {"99,99,55", 6, 3, 253},  {r15, 6, 16, 240},
      {r14, 0, 16, 224},       {r1 + ",1", 5, 16, 16},   {"0", 4, 0, 0},
      {"100", 4, 0, 0},        {"10,,5", 4, 1, 10},      {"5.5", 0, 1, 6},
      {"99.5", 4, 0, 0},       {"  10 20;5 ", 0, 3, 35}, {"   ", 9, 0, 0},
      {"1E1,25e-1", 0, 2, 12}, {"3E", 0, 1, 3},          {"1e0002", 4, 0, 0}};
  for (const auto& [list, code, count, length] : cases) {
    Rig r;
    SCOPED_TRACE(list);
    EXPECT_EQ(SetFields(r.p, list), code);
    EXPECT_EQ(std::pair(r.p.file.FieldCount, r.p.file.RecordLength), std::pair(count, length));
  }
}

TEST(FieldFile, WrittenFileReadsBackToTheSameFields) {
  Rig r;
  r.p.file.Name = "ORDERS.BHT";
  ASSERT_EQ(CheckFilename(r.p), 0);
  ASSERT_EQ(SetFields(r.p, "10,5"), 0);
  r.p.file.RecordCount = 56;
  ASSERT_EQ(WriteFieldFile(r.p), 0);
  EXPECT_FALSE(r.Exists("ORDERS.FLD"));  // until it is committed with the records
  ASSERT_EQ(CommitFile(r.p, 3), 0);
  EXPECT_EQ(r.ReadFile("ORDERS.FLD"),
            "* Created by TELVARO3 Ver PC6-32 2.75\r\n"
            "* Field lengths of the records in ORDERS.BHT; needed to send it back\r\n"
            "file    ORDERS.BHT\r\ndate    12-03-2026 22:14:01\r\nsize    952\r\n"
            "records 56\r\nfields  10 5\r\n");
  // Appending: seven more lines, and the last fields line counts, all sixteen of its fields.
  r.p.settings.AppendOutput = true;
  ASSERT_EQ(SetFields(r.p, "3,4,5,1,1,1,1,1,1,1,1,1,1,1,1,9"), 0);
  ASSERT_EQ(WriteFieldFile(r.p), 0);
  ASSERT_EQ(CommitFile(r.p, 3), 0);
  const std::string twice = r.ReadFile("ORDERS.FLD");
  EXPECT_EQ(std::count(twice.begin(), twice.end(), '\n'), 14);
  r.WriteFile("ORDERS.BHT", "A\r\nB\r\n");
  EXPECT_EQ(r.Command("ORDERS.BHT"), 0);
  EXPECT_EQ(
      r.p.file.FieldLengths[3] + std::to_string(r.p.file.RecordLength) + r.p.file.FieldLengths[16],
      "5339");
}

}  // namespace
}  // namespace telvaro3
