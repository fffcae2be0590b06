#include <cstdio>

#include "base/system.h"
#include "base/text.h"
#include "link/link.h"
#include "settings/procedures.h"

namespace telvaro3 {

int16_t SetFields(Program& p, std::string list) {
  p.state.ProcName = "SetFields";
  TransferFile& f = p.file;
  f.RecordLength = 0;
  f.FieldCount = 0;
  list = LTrim(list);
  size_t pos = 0;
  while (pos < list.size()) {
    // Comma, semicolon and blank all end a length; exactly one of them is taken away.
    size_t end = list.find_first_of(",; ", pos);
    if (end == std::string::npos) end = list.size();
    const int64_t length = RoundHalfEven(Val(list.substr(pos, end - pos)));
    if (length < 1 || length > 99) return kErrFieldLength;
    if (f.FieldCount == 16) return kErrFieldCount;
    ++f.FieldCount;
    f.FieldLengths[f.FieldCount] = std::to_string(length);
    f.RecordLength = static_cast<int16_t>(f.RecordLength + length);
    if (f.RecordLength + f.FieldCount > 255) return kErrRecordLength;
    pos = end + 1;
  }
  return f.FieldCount == 0 ? 9 : 0;
}

int16_t CheckFieldFile(Program& p) {
  p.state.ProcName = "CheckFieldFile";
  TransferFile& f = p.file;
  if (OpenFile(p, f.Directory, f.FieldFileName, 3, "I") != 0) return kErrFieldLengthNotFound;
  bool fieldsRead = false;
  bool nameMatched = false;
  std::string line;
  try {
    while (p.files[3]->ReadLine(line)) {
      const std::string upper = UpperLatin1(line);
      if (upper.compare(0, 7, "FIELDS ") == 0) {
        int16_t code = SetFields(p, upper.substr(6));
        if (code != 0) {
          CloseFile(p, 3);
          return code;
        }
        fieldsRead = true;
      } else if (upper.compare(0, 4, "FILE") == 0) {
        if (Trim(upper.substr(4)) != f.Name) {
          CloseFile(p, 3);
          return kErrFieldLengthNotFound;
        }
        nameMatched = true;
      }
    }
  } catch (...) {
    CloseFile(p, 3);
    throw;
  }
  CloseFile(p, 3);
  return fieldsRead && nameMatched ? 0 : 8;
}

namespace {

std::string TwoDigits(int v) {
  char buf[8];
  std::snprintf(buf, sizeof buf, "%02d", v % 100);
  return buf;
}

}  // namespace

int16_t WriteFieldFile(Program& p) {
  p.state.ProcName = "WriteFieldFile";
  TransferFile& f = p.file;
  // The records are only kept with a field file that describes them: one that cannot be made
  // fails the reception.
  const int16_t opened = OpenFile(p, f.Directory, f.FieldFileName, 3, "O");
  if (opened != 0) return opened;
  const LocalTime t = p.system.Clock();
  const int64_t size = static_cast<int64_t>(f.RecordLength + 2) * f.RecordCount;
  std::string fields = "fields ";
  for (int i = 1; i <= f.FieldCount && i <= 16; ++i) fields += " " + f.FieldLengths[i];
  const std::string lines[] = {
      "* Created by TELVARO3 Ver " + p.ProgramVersion,
      "* Field lengths of the records in " + f.Name + "; needed to send it back",
      "file    " + f.Name,
      "date    " + TwoDigits(t.month) + "-" + TwoDigits(t.day) + "-" + std::to_string(t.year) +
          " " + TwoDigits(t.hour) + ":" + TwoDigits(t.minute) + ":" + TwoDigits(t.second),
      "size   " + Str(size),
      "records" + Str(f.RecordCount),
      fields,
  };
  int16_t line = 0;
  try {
    for (const std::string& l : lines) {
      ++line;
      p.files[3]->WriteLine(l);
    }
  } catch (const RunTimeError& e) {
    // A half-written field file would be worse than the one before: it is abandoned.
    CloseFile(p, 3);
    p.state.RunErrNumber = e.Number();
    p.state.RunErrLine = line;
    return MapRunTimeError(e.Number());
  }
  // Committed by the caller, together with the records it describes.
  return 0;
}

}  // namespace telvaro3
