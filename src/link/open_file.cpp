#include "base/system.h"
#include "link/link.h"

namespace telvaro3 {

int16_t OpenFile(Program& p, const std::string& directory, const std::string& name,
                 int16_t fileNumber, const std::string& mode) {
  if (fileNumber < 1 || fileNumber >= static_cast<int16_t>(p.files.size())) return 99;
  const std::string full = directory + name;
  try {
    if (p.files[fileNumber]) throw RunTimeError(55, RunTimeErrorText(55));
    FileMode m = mode == "I" ? FileMode::Input
                             : (p.settings.AppendOutput ? FileMode::Append : FileMode::Output);
    p.files[fileNumber] = p.system.OpenText(full, m);
  } catch (const RunTimeError& e) {
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

int16_t CommitFile(Program& p, int16_t fileNumber) {
  if (fileNumber < 1 || fileNumber >= static_cast<int16_t>(p.files.size())) return 99;
  auto& f = p.files[fileNumber];
  int16_t code = 0;
  try {
    if (!f) throw RunTimeError(52, RunTimeErrorText(52));
    f->Commit();
  } catch (const RunTimeError& e) {
    p.state.RunErrNumber = e.Number();
    p.state.RunErrLine = e.Line();
    code = MapRunTimeError(e.Number());
  }
  f.reset();
  return code;
}

}  // namespace telvaro3
