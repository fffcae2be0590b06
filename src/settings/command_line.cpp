#include <array>
#include <string_view>

#include "base/text.h"
#include "settings/procedures.h"

namespace telvaro3 {

void SetDefaults(Program& p) {
  RunSettings& s = p.settings;
  s.Port = 1;
  s.BaudRate = "19200";
  s.DataBits = "8";
  s.StopBits = "1";
  s.Parity = "N";
  s.BlockCheck = true;
  s.SerialNumbers = true;
  s.ExitOnSuccess = false;
  s.ShutDownAtEnd = false;
  s.IrDA = false;
  s.NoWait = false;
  s.AppendOutput = false;
  s.TimeoutCount = 10;
  s.SendDelayMs = 5;
  // Compact, Continuous and YModem are only ever switched on; they keep what they hold.

  TransferFile& f = p.file;
  f.Directory.clear();
  f.Name.clear();
  f.SendMode = false;
  f.ProgramFile = false;
  f.FieldCount = 0;
  f.RecordLength = 0;
  // FieldFileName, FieldLengths and RecordCount keep what they hold.

  p.ProgramVersion = "PC6-32 2.75";

  RunState& st = p.state;
  st.NUL = std::string(1, '\x00');
  st.SOH = "\x01";
  st.STX = "\x02";
  st.ETX = "\x03";
  st.EOT = "\x04";
  st.ENQ = "\x05";
  st.ACK = "\x06";
  st.NAK = "\x15";
}

int16_t SetIrdaDelay(Program& p, const std::string& text) {
  // A delay is meant as 0 or more milliseconds; anything else is held within a minute so that
  // no value can make the program wait without end.
  int64_t ms = RoundHalfEven(Val(text));
  if (ms < 0) ms = 0;
  if (ms > 60000) ms = 60000;
  p.settings.SendDelayMs = static_cast<int32_t>(ms);
  return kOk;
}

namespace {

// "+P0" to "+P19", written without leading zeros: port 1 to 20. False for anything else.
bool ApplyPortOption(RunSettings& s, std::string_view t) {
  const std::string_view digits = t.substr(2);
  if (digits.size() > 2 || (digits.size() == 2 && digits[0] != '1')) return false;
  int n = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') return false;
    n = n * 10 + (c - '0');
  }
  s.Port = static_cast<int16_t>(n + 1);
  return true;
}

// "+B" and one of the rates the port offers. False for any other rate.
bool ApplyBaudOption(RunSettings& s, std::string_view t) {
  static constexpr std::array<std::string_view, 10> kBauds = {
      "300", "600", "1200", "2400", "4800", "9600", "19200", "38400", "115200", "460800"};
  for (auto b : kBauds)
    if (t.substr(2) == b) {
      s.BaudRate = std::string(b);
      return true;
    }
  return false;
}

// The options that are one exact token each.
struct Flag {
  std::string_view token;
  void (*apply)(RunSettings&);
};
constexpr Flag kFlags[] = {
    {"+PN", [](RunSettings& s) { s.Parity = "N"; }},
    {"+PE", [](RunSettings& s) { s.Parity = "E"; }},
    {"+PO", [](RunSettings& s) { s.Parity = "O"; }},
    {"+D7", [](RunSettings& s) { s.DataBits = "7"; }},
    {"+D8", [](RunSettings& s) { s.DataBits = "8"; }},
    {"+S1", [](RunSettings& s) { s.StopBits = "1"; }},
    {"+S2", [](RunSettings& s) { s.StopBits = "2"; }},
    {"+PB", [](RunSettings& s) { s.BlockCheck = true; }},
    {"-PB", [](RunSettings& s) { s.BlockCheck = false; }},
    {"+SN", [](RunSettings& s) { s.SerialNumbers = true; }},
    {"-SN", [](RunSettings& s) { s.SerialNumbers = false; }},
    {"+EX", [](RunSettings& s) { s.ExitOnSuccess = true; }},
    {"+EW", [](RunSettings& s) { s.ShutDownAtEnd = true; }},
    {"+IR", [](RunSettings& s) { s.IrDA = true; }},
    {"+DDE", [](RunSettings& s) { s.NoWait = true; }},
    {"+APP", [](RunSettings& s) { s.AppendOutput = true; }},
    {"+T0", [](RunSettings& s) { s.TimeoutCount = 32500; }},
    {"+T30", [](RunSettings& s) { s.TimeoutCount = 10; }},
    {"+T60", [](RunSettings& s) { s.TimeoutCount = 20; }},
    {"+T90", [](RunSettings& s) { s.TimeoutCount = 30; }},
    {"+T120", [](RunSettings& s) { s.TimeoutCount = 40; }},
    {"+RSG", [](RunSettings&) {}},
    {"+CMP", [](RunSettings& s) { s.Compact = true; }},
    {"+RXON", [](RunSettings& s) { s.Continuous = true; }},
    {"+YMOD", [](RunSettings& s) { s.YModem = true; }},
};

// Applies an exact option token; false when the token is none of them.
bool ApplyOption(Program& p, std::string_view t) {
  if (t.size() >= 3 && t.substr(0, 2) == "+P" && t[2] >= '0' && t[2] <= '9')
    return ApplyPortOption(p.settings, t);
  if (t.size() > 2 && t.substr(0, 2) == "+B") return ApplyBaudOption(p.settings, t);
  for (const Flag& f : kFlags)
    if (t == f.token) {
      f.apply(p.settings);
      return true;
    }
  return false;
}

int16_t ClassifyToken(Program& p, const std::string& token) {
  std::string_view t = token;
  if (ApplyOption(p, t)) return 0;
  if (t.substr(0, 2) == "+F") return SetFields(p, token.substr(2));
  if (t.substr(0, 4) == "+IRD") return SetIrdaDelay(p, token.substr(4));
  if (t[0] == '+' || t[0] == '-') return kErrOptionMismatch;
  return CheckFileArg(p, token);
}

}  // namespace

int16_t CheckCommand(Program& p) {
  p.state.ProcName = "CheckCommand";
  const std::string line = UpperLatin1(p.system.CommandLine());
  size_t pos = line.find_first_not_of(' ');
  if (pos == std::string::npos) pos = line.size();
  // Tokens are separated by blanks only; a last lone character is never read.
  while (line.size() - pos >= 2) {
    size_t end = line.find(' ', pos);
    if (end == std::string::npos) end = line.size();
    int16_t code = ClassifyToken(p, line.substr(pos, end - pos));
    if (code != 0) return code;
    pos = line.find_first_not_of(' ', end);
    if (pos == std::string::npos) pos = line.size();
  }
  if (p.file.SendMode) {
    int16_t code = Test_File(p);
    if (code != 0) return code;
    if (p.file.FieldCount != 0 && p.file.ProgramFile) return kErrParameterMismatch;
    if (p.file.FieldCount == 0 && !p.file.ProgramFile) {
      code = CheckFieldFile(p);
      if (code != 0) return code;
    }
  }
  return 0;
}

}  // namespace telvaro3
