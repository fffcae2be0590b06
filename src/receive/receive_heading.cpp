// The heading of a block-protocol reception: collected within its wait, its frame and check
// character judged, its fields read, and the PC file made for the records it announces.

#include <charconv>

#include "base/text.h"
#include "base/waits.h"
#include "link/block_codec.h"
#include "link/link.h"
#include "receive/block_input.h"
#include "receive/receive.h"
#include "settings/procedures.h"

namespace telvaro3 {
namespace {

constexpr double kCheckCharacterGraceSeconds = 0.05;  // a check character late by 50 ms counts
constexpr int32_t kMostRecords = 32767;
constexpr int kMostFieldsPlusLength = 255;
constexpr int kLongestField = 99;

const char* const kAcceptedNames[] = {"ORDERS.BHT", "LIST.BHT",     "UNDEL.BHT",  "RETURNS.BHT",
                                      "TAKE.BHT",   "TRANSFER.BHT", "MISSING.BHT"};

// A number divided by 1000 as a plain decimal number (12.5, 0.952, 3).
std::string Thousandths(int32_t bytes) {
  char buf[64];
  auto r = std::to_chars(buf, buf + sizeof buf, static_cast<double>(bytes) / 1000.0,
                         std::chars_format::fixed);
  return std::string(buf, r.ptr);
}

// Whether the drive of the receive directory has room for the file the heading announces.
bool EnoughSpace(Program& p) {
  const TransferFile& f = p.file;
  const int32_t needed = (static_cast<int32_t>(f.RecordLength) + 2) * f.RecordCount;
  int32_t free = needed + 1;
  const std::string drive = f.Directory.substr(0, 2);
  if (drive == "A:" || drive == "B:") {
    free = FreeSpace(p, drive + "\\");
    if (free == -1) {
      const std::string error = std::to_string(p.state.FreeSpaceError);
      const std::string title = "Free Space DLL error (" + error + ")";
      const std::string text = "Can not calculate free space \r is there > " + Thousandths(needed) +
                               "kBytes free" + error;
      if (p.window.AskYesNo(title, text)) free = needed + 1;
    }
  }
  return needed <= free;
}

bool IsAcceptedName(const std::string& name) {
  for (const char* accepted : kAcceptedNames)
    if (name == accepted) return true;
  return false;
}

// What CollectHeading returns besides kBlockMissing, kBlockCancelled and a port fault.
constexpr int16_t kHeadingMayBeComplete = 1;

// Takes a heading in within its wait: kHeadingMayBeComplete, kBlockMissing when the wait ran out,
// kBlockCancelled on Cancel, or the port's fault.
int16_t CollectHeading(Program& p, HeadingInput& in) {
  RunState& s = p.state;
  s.WaitStart = p.system.Now();
  BlockWait wait(p, s.WaitStart, kLongestHeadingBlock);
  while (!wait.Over(p.system.Now())) {
    Yield(p);
    if (s.AbortFlag) return kBlockCancelled;
    if (p.comm.InputCount() >= 1) {
      in.Add(p.comm.InputData());
      if (in.MayBeArriving()) wait.Arrived(p.system.Now());
      if (in.Complete()) return kHeadingMayBeComplete;
    } else if (const int16_t fault = p.comm.PortFault(); fault != 0) {
      return fault;
    } else {
      IdleForInput(p, wait.End());
    }
  }
  return kBlockMissing;
}

// On a slow line the check character follows the ETX by one character time; a reader that looks
// the moment the ETX lands would refuse every heading. So it is given a moment.
void AwaitCheckCharacter(Program& p, HeadingInput& in) {
  if (!p.settings.BlockCheck || !in.EndsWithEtx()) return;
  const double graceEnd = p.system.Now() + kCheckCharacterGraceSeconds;
  while (p.system.Now() < graceEnd && p.comm.InputCount() < 1) IdleForInput(p, graceEnd);
  if (p.comm.InputCount() >= 1) in.Add(p.comm.InputData());
}

// The field part of a data file's heading into FieldCount, FieldLengths and RecordLength:
// kBlockGood, kBlockBad for a text of the wrong length, or kErrIllegalHeading.
int16_t ReadFields(TransferFile& f, const frame::HeadingReader& heading) {
  const int64_t fields = RoundHalfEven(Val(heading.FieldCount()));
  if (fields < 1 || fields > frame::kMostFields) return kErrIllegalHeading;
  f.FieldCount = static_cast<int16_t>(fields);
  if (heading.Length() != frame::DataHeadingLength(f.FieldCount)) return kBlockBad;
  for (int i = 1; i <= f.FieldCount; ++i) {
    const double length = Val(heading.FieldLength(i));
    if (!(length >= 1 && length <= kLongestField)) return kErrIllegalHeading;
    const int64_t whole = RoundHalfEven(length);
    f.FieldLengths[i] = std::to_string(whole);
    f.RecordLength = static_cast<int16_t>(f.RecordLength + whole);
    if (f.FieldCount + f.RecordLength > kMostFieldsPlusLength) return kErrIllegalHeading;
  }
  return kBlockGood;
}

// The fields of a heading text whose frame and check character are good, into the file's
// description: kBlockGood, kBlockBad, or kErrIllegalHeading.
int16_t ReadHeading(Program& p, const std::string& text) {
  TransferFile& f = p.file;
  const frame::HeadingReader heading(text);
  f.RecordLength = 0;
  f.Name = heading.Name();
  if (CheckFilename(p) != kOk) return kErrIllegalHeading;
  if (f.ProgramFile ? heading.Length() != frame::kProgramHeadingLength
                    : heading.Length() < frame::kShortestDataHeadingLength)
    return kBlockBad;
  const double count = Val(heading.RecordCount());
  if (!(count >= 0 && count <= kMostRecords)) return kErrIllegalHeading;
  f.RecordCount = static_cast<int32_t>(RoundHalfEven(count));
  if (!f.ProgramFile) return ReadFields(f, heading);
  return kBlockGood;
}

// The PC file for the announced one: kBlockGood once it is made and there is room, else
// kErrPathNotFound, kErrDiskFull or kErrHeaderName.
int16_t MakeReceivedFile(Program& p) {
  TransferFile& f = p.file;
  // A name that is not taken is judged before any file is opened, so that a PC file of that
  // name is never touched; the codes still come in the order that making the file first gives.
  if (!IsAcceptedName(f.Name)) {
    if (!p.system.CanCreateIn(f.Directory)) return kErrPathNotFound;
    if (!EnoughSpace(p)) return kErrDiskFull;
    return kErrHeaderName;
  }
  // The records go to a new version of the file, which takes the old one's place only when the
  // whole file has arrived (or, with +APP, are cut off again unless it has).
  if (OpenFile(p, f.Directory, f.Name, 2, "O") != kOk) return kErrPathNotFound;
  p.state.FileCreated = true;
  if (!EnoughSpace(p)) return kErrDiskFull;
  return kBlockGood;
}

}  // namespace

int16_t ReceiveHeader(Program& p) {
  RunState& s = p.state;
  s.ProcName = "ReceiveHeader";
  s.ReceiveBuffer.clear();
  HeadingInput in(s);
  const int16_t collected = CollectHeading(p, in);
  if (collected == kBlockCancelled || collected > kPortFaultAbove) return collected;
  if (collected == kHeadingMayBeComplete) AwaitCheckCharacter(p, in);
  s.ReceiveBuffer = in.Kept();
  if (in.EnqSeen()) return kBlockEnq;
  if (collected == kBlockMissing || !in.SohSeen()) return kBlockMissing;
  const size_t etx = in.EtxPosition();
  if (etx == 0) return kBlockMissing;
  if (etx < kHeadingEtxPosition) return kBlockBad;
  // Without exactly one character after ETX the whole rest must cancel out: a check character
  // NUL that the line lost passes.
  if (p.settings.BlockCheck && !in.CheckFits()) return kBlockBad;
  if (const int16_t read = ReadHeading(p, in.Text()); read != kBlockGood) return read;
  s.BlockLength = static_cast<int16_t>(frame::TextBlockLayout{
      static_cast<size_t>(p.file.RecordLength), p.settings.BlockCheck, p.settings.SerialNumbers}
                                           .Length());
  return MakeReceivedFile(p);
}

}  // namespace telvaro3
