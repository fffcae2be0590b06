#include <vector>

#include "base/system.h"
#include "link/link.h"

namespace telvaro3 {

int16_t OpenFile(Program& p, const std::string& directory, const std::string& name,
                 int16_t fileNumber, const std::string& mode) {
  if (fileNumber < 1 || fileNumber >= static_cast<int16_t>(p.files.size()))
    return kErrGeneralFailure;
  const std::string full = directory + name;
  try {
    if (p.files[fileNumber])
      throw RunTimeError(kRteFileAlreadyOpen, RunTimeErrorText(kRteFileAlreadyOpen));
    FileMode m = mode == "I" ? FileMode::Input
                             : (p.settings.AppendOutput ? FileMode::Append : FileMode::Output);
    p.files[fileNumber] = p.system.OpenText(full, m);
  } catch (const RunTimeError& e) {
    // A file to write that cannot be made fails a reception; the report names the reason.
    if (mode != "I") {
      p.state.RunErrNumber = e.Number();
      p.state.RunErrLine = e.Line();
    }
    return MapRunTimeError(e.Number());
  }
  return 0;
}

void CloseFile(Program& p, int16_t fileNumber) {
  if (fileNumber < 1 || fileNumber >= static_cast<int16_t>(p.files.size())) return;
  auto& f = p.files[fileNumber];
  if (!f) return;
  f->Close();
  f.reset();
}

int16_t CommitFiles(Program& p, std::initializer_list<int16_t> fileNumbers) {
  std::vector<TextFile*> files;
  int16_t code = 0;
  try {
    for (int16_t n : fileNumbers) {
      if (n < 1 || n >= static_cast<int16_t>(p.files.size()) || !p.files[n])
        throw RunTimeError(kRteBadFileNumber, RunTimeErrorText(kRteBadFileNumber));
      files.push_back(p.files[n].get());
    }
    p.system.CommitTogether(files);
  } catch (const RunTimeError& e) {
    p.state.RunErrNumber = e.Number();
    p.state.RunErrLine = e.Line();
    code = MapRunTimeError(e.Number());
  }
  for (int16_t n : fileNumbers) CloseFile(p, n);
  return code;
}

}  // namespace telvaro3
