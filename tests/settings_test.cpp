// Command line, file names, field lists, field files and record counting.

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "settings/procedures.h"
#include "shell/text.h"
#include "support/fakes.h"

namespace telvaro3 {
namespace {

using test::TestRig;

int16_t ReadCommand(TestRig& r, const std::string& line) {
  r.system.commandLine = line;
  SetDefaults(r.p);
  return CheckCommand(r.p);
}

struct CommandCase {
  const char* line;
  int16_t code;
  std::function<void(const Program&)> check;
};

TEST(CheckCommand, OptionsAndTheirErrors) {
  const std::vector<CommandCase> cases = {
      {"", 0,
       [](const Program& p) {
         EXPECT_EQ(p.settings.Port, 1);
         EXPECT_EQ(p.settings.BaudRate, "19200");
         EXPECT_FALSE(p.file.SendMode);
         EXPECT_EQ(p.file.Directory, "");
       }},
      {"+B9600 +XYZ +B300", 9, [](const Program& p) { EXPECT_EQ(p.settings.BaudRate, "9600"); }},
      {"+B9600 +B19200", 0, [](const Program& p) { EXPECT_EQ(p.settings.BaudRate, "19200"); }},
      {"+P20", 9, nullptr},
      {"+P00", 9, nullptr},
      {"+P01", 9, nullptr},
      {"+B57600", 9, nullptr},
      {"+T45", 9, nullptr},
      {"+X", 9, nullptr},
      {"-EX", 9, nullptr},
      {"+P0", 0, [](const Program& p) { EXPECT_EQ(p.settings.Port, 1); }},
      {"+P19", 0, [](const Program& p) { EXPECT_EQ(p.settings.Port, 20); }},
      {"+p2 +pe +d7 +s2", 0,
       [](const Program& p) {
         EXPECT_EQ(p.settings.Port, 3);
         EXPECT_EQ(p.settings.Parity, "E");
         EXPECT_EQ(p.settings.DataBits, "7");
         EXPECT_EQ(p.settings.StopBits, "2");
       }},
      {"-PB -SN", 0,
       [](const Program& p) {
         EXPECT_FALSE(p.settings.BlockCheck);
         EXPECT_FALSE(p.settings.SerialNumbers);
       }},
      {"+IRD20", 0, [](const Program& p) { EXPECT_EQ(p.settings.SendDelayMs, 20); }},
      {"+IRD", 0, [](const Program& p) { EXPECT_EQ(p.settings.SendDelayMs, 0); }},
      {"+IRD-50", 0, [](const Program& p) { EXPECT_EQ(p.settings.SendDelayMs, 0); }},
      {"+IRD1E99", 0, [](const Program& p) { EXPECT_LE(p.settings.SendDelayMs, 60000); }},
      {"+IR", 0,
       [](const Program& p) {
         EXPECT_TRUE(p.settings.IrDA);
         EXPECT_EQ(p.settings.SendDelayMs, 5);
       }},
      {"+ymod +b9600", 0,
       [](const Program& p) {
         EXPECT_TRUE(p.settings.YModem);
         EXPECT_EQ(p.settings.BaudRate, "9600");
       }},
      {"+T0", 0, [](const Program& p) { EXPECT_EQ(p.settings.TimeoutCount, 32500); }},
      {"+T120", 0, [](const Program& p) { EXPECT_EQ(p.settings.TimeoutCount, 40); }},
      {"+EX +EW +DDE +APP +CMP +RSG", 0,
       [](const Program& p) {
         EXPECT_TRUE(p.settings.ExitOnSuccess);
         EXPECT_TRUE(p.settings.ShutDownAtEnd);
         EXPECT_TRUE(p.settings.NoWait);
         EXPECT_TRUE(p.settings.AppendOutput);
         EXPECT_TRUE(p.settings.Compact);
       }},
      // A lone last character is never read.
      {"+P1 X", 0, [](const Program& p) { EXPECT_FALSE(p.file.SendMode); }},
      {"Q", 0, nullptr},
      // Reading stops at the first error; what came before stays set.
      {"+RXON +BAD", 9, [](const Program& p) { EXPECT_TRUE(p.settings.Continuous); }},
      // Options are read before the file is looked at.
      {"MISSING.TXT +BAD", 9, nullptr},
      {"MISSING.TXT +F10", 1, nullptr},
      {"+F", 9, nullptr},
      {"C:\\DATA\\", 0,
       [](const Program& p) {
         EXPECT_EQ(p.file.Directory, "C:\\DATA\\");
         EXPECT_FALSE(p.file.SendMode);
       }},
      {"A:", 0, [](const Program& p) { EXPECT_EQ(p.file.Directory, "A:"); }},
  };
  for (const auto& c : cases) {
    TestRig r;
    SCOPED_TRACE(c.line);
    EXPECT_EQ(ReadCommand(r, c.line), c.code);
    if (c.check) c.check(r.p);
  }
}

struct NameCase {
  const char* name;
  int16_t code;
  const char* fieldFile;  // expected FieldFileName, or nullptr for a program kind
  int16_t recordLength;
};

TEST(CheckFilename, AcceptedAndRejectedNames) {
  const std::vector<NameCase> cases = {
      {"DATA.TXT", 0, "DATA.FLD", 0},
      {"ABCDEFGH.TXT", 0, "ABCDEFGH.FLD", 0},
      {"LONGNAME1.TXT", 2, nullptr, 0},
      {"ABCDEFGHI.TX", 2, nullptr, 0},
      {"NAME123456", 2, nullptr, 0},
      {"DATA.TEXT", 2, nullptr, 0},
      {"A.B.C", 2, nullptr, 0},
      {"DATA.", 0, "DATA.FLD", 0},
      {".TXT", 0, ".FLD", 0},
      {"DATA+1.TXT", 2, nullptr, 0},
      {"DATA,1.TXT", 2, nullptr, 0},
      {"\xA3"
       "DATA.TXT",
       0,
       "\xA3"
       "DATA.FLD",
       0},
      {"data.pd3", 0, "data.FLD", 0},
      {"MENU.PD3", 0, nullptr, 128},
      {"MENU.PD4", 0, nullptr, 1024},
      {"MENU.FN3", 0, nullptr, 130},
      {"MENU.EX3", 0, nullptr, 130},
      {"PD3", 0, nullptr, 128},
      {"pd3", 0, nullptr, 128},
  };
  for (const auto& c : cases) {
    TestRig r;
    SCOPED_TRACE(c.name);
    SetDefaults(r.p);
    r.p.file.Name = c.name;
    EXPECT_EQ(CheckFilename(r.p), c.code);
    if (c.code != 0) continue;
    if (c.fieldFile != nullptr) {
      EXPECT_EQ(r.p.file.FieldFileName, c.fieldFile);
      EXPECT_FALSE(r.p.file.ProgramFile);
    } else {
      EXPECT_TRUE(r.p.file.ProgramFile);
      EXPECT_EQ(r.p.file.RecordLength, c.recordLength);
      EXPECT_EQ(r.p.settings.YModem, c.recordLength == 1024);
    }
  }
}

TEST(CheckFileArg, DirectoriesAndFiles) {
  struct Case {
    const char* token;
    int16_t code;
    const char* dir;
    const char* name;
    bool send;
  };
  const std::vector<Case> cases = {
      {"A:", 0, "A:", "", false},
      {"C:\\DATA\\", 0, "C:\\DATA\\", "", false},
      {"C:\\DATA", 0, "C:\\", "DATA", true},
      {"C:\\MY.DIR\\DATA.TXT", 0, "C:\\MY.DIR\\", "DATA.TXT", true},
      {"C:DATA.TXT", 2, "", "C:DATA.TXT", true},
      {"C:/DATA.TXT", 2, "", "C:/DATA.TXT", true},
      {"C:\\BAD DIR\\", 2, "C:\\BAD DIR\\", "", false},
      {"OUT\\", 0, "OUT\\", "", false},
  };
  for (const auto& c : cases) {
    TestRig r;
    SCOPED_TRACE(c.token);
    SetDefaults(r.p);
    EXPECT_EQ(CheckFileArg(r.p, c.token), c.code);
    EXPECT_EQ(r.p.file.Directory, c.dir);
    EXPECT_EQ(r.p.file.Name, c.name);
    EXPECT_EQ(r.p.file.SendMode, c.send);
  }
}

TEST(CheckFileArg, CommandLineInUtf8IsReadAsLatin1) {
  TestRig r;
  r.WriteFile(
      "\xC2\xA3"
      "DATA.TXT",
      "A\r\n");
  // The command line arrives as UTF-8 and is converted before it is read.
  r.system.commandLine = Utf8ToLatin1(
      "+F5 \xC2\xA3"
      "data.txt");
  SetDefaults(r.p);
  EXPECT_EQ(CheckCommand(r.p), 0);
  EXPECT_EQ(r.p.file.Name,
            "\xA3"
            "DATA.TXT");
  EXPECT_EQ(r.p.file.RecordCount, 1);
}

TEST(SetFields, ListsAndLimits) {
  struct Case {
    std::string list;
    int16_t code;
    int16_t count;
    int16_t length;
  };
  auto repeat = [](const std::string& item, int n) {
    std::string s;
    for (int i = 0; i < n; ++i) s += (i ? "," : "") + item;
    return s;
  };
  const std::vector<Case> cases = {
      {"99,99,54", 0, 3, 252},
      {"99,99,55", 6, 3, 253},
      {repeat("15", 16), 6, 16, 240},
      {repeat("14", 16), 0, 16, 224},
      {repeat("1", 17), 5, 16, 16},
      {"0", 4, 0, 0},
      {"100", 4, 0, 0},
      {"10,,5", 4, 1, 10},
      {"10, 5", 4, 1, 10},
      {"5.5", 0, 1, 6},
      {"99.5", 4, 0, 0},
      {"10,20;5", 0, 3, 35},
      {"10 20 5", 0, 3, 35},
      {"  10 5 ", 0, 2, 15},
      {"", 9, 0, 0},
      {"   ", 9, 0, 0},
      {"X", 4, 0, 0},
  };
  for (const auto& c : cases) {
    TestRig r;
    SCOPED_TRACE(c.list);
    SetDefaults(r.p);
    EXPECT_EQ(SetFields(r.p, c.list), c.code);
    EXPECT_EQ(r.p.file.FieldCount, c.count);
    EXPECT_EQ(r.p.file.RecordLength, c.length);
  }
  TestRig r;
  SetDefaults(r.p);
  ASSERT_EQ(SetFields(r.p, "10,20;5"), 0);
  EXPECT_EQ(r.p.file.FieldLengths[1], "10");
  EXPECT_EQ(r.p.file.FieldLengths[3], "5");
}

TEST(FieldFile, WrittenFileReadsBackToTheSameFields) {
  TestRig r;
  SetDefaults(r.p);
  r.p.file.Name = "ORDERS.BHT";
  ASSERT_EQ(CheckFilename(r.p), 0);
  ASSERT_EQ(SetFields(r.p, "10,5"), 0);
  r.p.file.RecordCount = 56;
  ASSERT_EQ(WriteFieldFile(r.p), 0);
  EXPECT_EQ(r.ReadFile("ORDERS.FLD"),
            "* Created by TELVARO3 Transfer Utility Ver PC6-32 2.75\r\n"
            "* Field lengths of the records in ORDERS.BHT; needed to send it back\r\n"
            "file    ORDERS.BHT\r\n"
            "date    12-03-2026 22:14:01\r\n"
            "size    952\r\n"
            "records 56\r\n"
            "fields  10 5\r\n");

  // Sending the same file back relies on it.
  r.WriteFile("ORDERS.BHT", "A\r\nB\r\n");
  EXPECT_EQ(ReadCommand(r, "ORDERS.BHT"), 0);
  EXPECT_EQ(r.p.file.FieldCount, 2);
  EXPECT_EQ(r.p.file.FieldLengths[1], "10");
  EXPECT_EQ(r.p.file.FieldLengths[2], "5");
  EXPECT_EQ(r.p.file.RecordLength, 15);
  EXPECT_EQ(r.p.file.RecordCount, 2);

  // Appending: seven more lines, and the last fields line counts.
  r.p.settings.AppendOutput = true;
  ASSERT_EQ(SetFields(r.p, "3,4,5"), 0);
  ASSERT_EQ(WriteFieldFile(r.p), 0);
  const std::string twice = r.ReadFile("ORDERS.FLD");
  EXPECT_EQ(std::count(twice.begin(), twice.end(), '\n'), 14);
  EXPECT_EQ(ReadCommand(r, "ORDERS.BHT"), 0);
  EXPECT_EQ(r.p.file.FieldCount, 3);
  EXPECT_EQ(r.p.file.RecordLength, 12);
}

TEST(FieldFile, WhatTheReaderAccepts) {
  struct Case {
    const char* content;
    int16_t code;
  };
  const std::vector<Case> cases = {
      {"fields 10 5\r\nfile data.txt\r\n", 0},   // lower case, any order
      {"FILE    DATA.TXT\nFIELDS  10 5\n", 0},   // LF line ends
      {"FILE OTHER.TXT\r\nFIELDS 10 5\r\n", 8},  // another file
      {"FIELDS 10 5\r\n", 8},                    // no file line
      {"FILE DATA.TXT\r\n", 8},                  // no fields line
      {"FILE DATA.TXT\r\nFIELDS 0 5\r\n", 4},    // a bad field list
      {"FILE DATA.TXT\r\nFIELDS\r\n", 8},        // "FIELDS" without its blank is no list
      {"", 8},
  };
  for (const auto& c : cases) {
    TestRig r;
    SCOPED_TRACE(c.content);
    r.WriteFile("data.txt", "1\r\n2\r\n");
    r.WriteFile("data.fld", c.content);
    EXPECT_EQ(ReadCommand(r, "DATA.TXT"), c.code);
  }
  TestRig r;
  r.WriteFile("DATA.TXT", "1\r\n");
  EXPECT_EQ(ReadCommand(r, "DATA.TXT"), 8);  // no field file, no +F
  r.WriteFile("DATA.PD3", "1\r\n");
  EXPECT_EQ(ReadCommand(r, "DATA.PD3"), 0);  // a program file needs none
  EXPECT_EQ(ReadCommand(r, "+F10,20 DATA.PD3"), 7);
  EXPECT_EQ(ReadCommand(r, "+YMOD DATA.TXT"), 8);
}

TEST(Test_File, CountsLines) {
  struct Case {
    std::string content;
    bool ymodem;
    int16_t code;
    int32_t count;
  };
  std::string max, over;
  for (int i = 0; i < 32767; ++i) max += "X\r\n";
  over = max + "X";
  const std::vector<Case> cases = {
      {"", false, 0, 0},        {"A", false, 0, 1},      {"A\r\nB\r\n", false, 0, 2},
      {"A\rB\rC", false, 0, 3}, {"A\nB\n", false, 0, 2}, {"A\r\n\r\nB", false, 0, 3},
      {max, false, 0, 32767},   {over, false, 3, -1},    {over, true, 0, 32768},
  };
  for (const auto& c : cases) {
    TestRig r;
    SCOPED_TRACE(c.content.substr(0, 12));
    r.WriteFile("DATA.TXT", c.content);
    SetDefaults(r.p);
    r.p.file.Name = "DATA.TXT";
    r.p.file.RecordCount = -1;
    r.p.settings.YModem = c.ymodem;
    EXPECT_EQ(Test_File(r.p), c.code);
    EXPECT_EQ(r.p.file.RecordCount, c.count);
  }
  TestRig r;
  SetDefaults(r.p);
  r.p.file.Name = "NONE.TXT";
  EXPECT_EQ(Test_File(r.p), 1);
  r.p.file.Directory = "NOWHERE\\";
  EXPECT_EQ(Test_File(r.p), 71);
}

TEST(Files, NamesAreMatchedWithoutRegardToCase) {
  TestRig r;
  r.WriteFile("out/sub/data.txt", "1\r\n2\r\n");
  r.WriteFile("out/sub/data.fld", "file DATA.TXT\r\nfields 4\r\n");
  EXPECT_EQ(ReadCommand(r, "OUT\\SUB\\DATA.TXT"), 0);
  EXPECT_EQ(r.p.file.RecordCount, 2);
  EXPECT_EQ(r.p.file.RecordLength, 4);

  // A new file is made under the name the program holds, inside the matched directory.
  r.p.file.Directory = "OUT\\";
  r.p.file.FieldFileName = "NEW.FLD";
  r.p.file.Name = "NEW.BHT";
  ASSERT_EQ(WriteFieldFile(r.p), 0);
  EXPECT_TRUE(r.Exists("out/NEW.FLD"));
}

TEST(Files, BytesPassUnchanged) {
  TestRig r;
  std::string all;
  for (int c = 0; c < 256; ++c)
    if (c != '\r' && c != '\n') all.push_back(static_cast<char>(c));
  r.WriteFile("IN.TXT", all + "\r\n");
  auto in = r.system.OpenText("IN.TXT", FileMode::Input);
  std::string line;
  ASSERT_TRUE(in->ReadLine(line));
  EXPECT_EQ(line, all);
  EXPECT_FALSE(in->ReadLine(line));
  auto out = r.system.OpenText("OUT.TXT", FileMode::Output);
  out->WriteLine(all);
  out->Close();
  EXPECT_EQ(r.ReadFile("OUT.TXT"), all + "\r\n");
}

TEST(PackDigits, Pairs) {
  struct Case {
    std::string in;
    std::string out;
  };
  const std::vector<Case> cases = {
      {"", ""},        {"123", "\x65\x7B"},  {"00", "\x64"},
      {"99", "\xC7"},  {"4711", "\x93\x6F"}, {"12 3", "ERROR"},
      {"-5", "ERROR"}, {"1.5", "ERROR"},     {"12A", "ERROR"},
  };
  for (const auto& c : cases) EXPECT_EQ(PackDigits(c.in), c.out) << c.in;
}

TEST(FreeSpace, QueryAndFallBack) {
  TestRig r;
  SetDefaults(r.p);
  r.p.file.RecordLength = 10;
  r.p.file.RecordCount = 1000;  // needs 12000 bytes
  r.system.space = DiskSpace{true, true, 0, 8, 512, 100, 1000};
  EXPECT_EQ(FreeSpace(r.p, "A:\\"), 409600);
  r.system.space = DiskSpace{true, false, 0, 0, 0, 0, 0};
  EXPECT_EQ(FreeSpace(r.p, "A:\\"), -1);
  r.system.space = DiskSpace{false, false, 48, 0, 0, 0, 0};
  EXPECT_EQ(FreeSpace(r.p, "A:\\"), 12001);
  EXPECT_TRUE(r.window.boxes.empty());
  // Too large for the answer: the user is asked.
  r.system.space = DiskSpace{true, true, 0, 8, 4096, 1ull << 30, 1ull << 31};
  r.window.yesNoAnswer = true;
  EXPECT_EQ(FreeSpace(r.p, "A:\\"), 12001);
  ASSERT_EQ(r.window.boxes.size(), 1u);
  EXPECT_EQ(
      r.window.boxes[0],
      "[ Free Space DLL error (6) ] Can not calculate free space \r is there > 12 kBytes free");
  r.window.yesNoAnswer = false;
  EXPECT_EQ(FreeSpace(r.p, "A:\\"), 0);
}

}  // namespace
}  // namespace telvaro3
