#include <charconv>
#include <cstdint>
#include <string_view>

#include "base/text.h"
#include "settings/procedures.h"

namespace telvaro3 {

namespace {

// The characters a terminal file name may hold (0xA3 is the pound sign).
constexpr std::string_view kNameChars = "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789`!\xA3$%^&()-_{}@'~#.";

}  // namespace

int16_t CheckValid(Program& p, const std::string& text, int16_t pathMode) {
  p.state.ProcName = "CheckValid";
  const std::string upper = UpperLatin1(text);
  for (char c : upper) {
    if (kNameChars.find(c) != std::string_view::npos) continue;
    if (pathMode == 1 && (c == ':' || c == '\\')) continue;
    return kErrFileNameFormat;
  }
  return 0;
}

int16_t CheckFileArg(Program& p, const std::string& token) {
  p.state.ProcName = "CheckFileArg";
  TransferFile& f = p.file;
  const bool bareDrive = token.size() == 2 && token[1] == ':';
  if (bareDrive || (!token.empty() && token.back() == '\\')) {
    f.Directory = token;
    int16_t code = CheckValid(p, f.Directory, 1);
    p.state.ProcName = "CheckFileArg2";
    return code != 0 ? 2 : 0;
  }
  f.SendMode = true;
  size_t slash = token.rfind('\\');
  if (slash == std::string::npos) {
    f.Directory.clear();
    f.Name = token;
  } else {
    f.Name = token.substr(slash + 1);
    f.Directory = token.substr(0, slash + 1);
  }
  int16_t code = CheckValid(p, f.Directory, 1);
  p.state.ProcName = "CheckFileArg3";
  if (code != 0) return kErrFileNameFormat;
  return CheckFilename(p);
}

int16_t CheckFilename(Program& p) {
  p.state.ProcName = "CheckFilename";
  TransferFile& f = p.file;
  const std::string& name = f.Name;
  if (CheckValid(p, name, 0) != 0) return kErrFileNameFormat;
  p.state.ProcName = "CheckFilename2";
  if (name.size() > 12) return kErrFileNameFormat;
  p.state.ProcName = "CheckFilename3";
  const size_t dot = name.find('.');
  const size_t d = dot == std::string::npos ? 0 : dot + 1;  // position counted from 1
  const size_t e = name.size() - d;
  if (d > 0 && (e > 3 || d > 9)) return kErrFileNameFormat;
  if (d == 0 && name.size() > 8) return kErrFileNameFormat;
  if (d > 0 && name.find('.', dot + 1) != std::string::npos) return kErrFileNameFormat;
  // The kind is told by the extension as written, or by a dotless name as a whole.
  const std::string key = d > 0 ? name.substr(d) : UpperLatin1(name);
  const std::string base = d > 0 ? name.substr(0, dot) : name;
  p.state.ProcName = "CheckFilename4";
  if (key == "PD3") {
    f.ProgramFile = true;
    f.RecordLength = 128;
  } else if (key == "PD4") {
    f.ProgramFile = true;
    f.RecordLength = 1024;
    p.settings.YModem = true;
  } else if (key == "FN3" || key == "EX3") {
    f.ProgramFile = true;
    f.RecordLength = 130;
  } else {
    p.state.ProcName = "CheckFilename5";
    f.FieldFileName = base + ".FLD";
    p.state.ProcName = "CheckFilename6";
  }
  return 0;
}

namespace {

// A byte count divided by 1000 as a plain decimal number (12.5, 0.952, 3).
std::string Thousandths(int64_t bytes) {
  char buf[64];
  auto r = std::to_chars(buf, buf + sizeof buf, static_cast<double>(bytes) / 1000.0);
  return std::string(buf, r.ptr);
}

}  // namespace

int32_t FreeSpace(Program& p, const std::string& root) {
  p.state.ProcName = "FreeSpace";
  const DiskSpace ds = p.system.FreeSpaceOf(root);
  int16_t fault = 0;
  if (!ds.queried) {
    fault = ds.errorNumber;
  } else if (!ds.ok) {
    p.state.FreeSpaceError = ds.errorNumber;
    return -1;
  } else {
    // The answer must fit a signed 32-bit count; a larger disk takes the fall-back.
    const uint64_t perCluster = ds.bytesPerSector * ds.sectorsPerCluster;
    if (perCluster == 0) return 0;
    if (ds.freeClusters <= static_cast<uint64_t>(INT32_MAX) / perCluster)
      return static_cast<int32_t>(perCluster * ds.freeClusters);
    fault = 6;
  }
  const int64_t needed =
      static_cast<int64_t>(p.file.RecordLength + 2) * static_cast<int64_t>(p.file.RecordCount);
  const int64_t enough = needed + 1 > INT32_MAX ? INT32_MAX : needed + 1;
  if (fault == 48) return static_cast<int32_t>(enough);
  const std::string title = " Free Space DLL error (" + std::to_string(fault) + ") ";
  const std::string text =
      "Can not calculate free space \r is there > " + Thousandths(needed) + " kBytes free";
  return p.window.AskYesNo(title, text) ? static_cast<int32_t>(enough) : 0;
}

}  // namespace telvaro3
