// Block-protocol reception of whatever the line brings. The first two bytes choose the settings
// and the trouble on the PC's side; the rest is the terminal's traffic, cut into chunks that
// arrive after the PC's writes (see harness.h).
//
// Byte 0: 1 no check character (-PB), 2 no serial numbers (-SN), 4 +APP, 8 ORDERS.BHT already
//         there, 16 Cancel pressed, 32 a port fault on a write, 64 the disk fills up, 128 the
//         receive directory is a floppy drive (A:\), whose free space the program asks for.
// Byte 1: bits 0-1 the time-out count less one; bits 2-7 when the trouble comes (seconds for
//         Cancel, writes for a port fault, lines for the disk; for the floppy: 0 no free-space
//         query, 1 a failed one, more: free 512-byte clusters plus 2).

#include <cstddef>
#include <cstdint>

#include "fake_program.h"
#include "harness.h"
#include "receive/receive.h"
#include "settings/procedures.h"

using namespace telvaro3;

namespace {

bool Hidden(const std::string& name) {
  return !name.empty() && name[0] == '.';
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static fuzz::Workspace ws;
  if (size < 2) return -1;
  const uint8_t flags = data[0];
  const int when = data[1] >> 2;
  const std::string_view traffic(reinterpret_cast<const char*>(data) + 2, size - 2);

  fuzz::Snapshot before = {{"DATA.TXT", "AB1\r\n"}, {"LIST.FLD", "file LIST.BHT\r\n"}};
  if (flags & 8) {
    before["ORDERS.BHT"] = "OLD1\r\nOLD2\r\n";
    before["ORDERS.FLD"] = "file ORDERS.BHT\r\nfields 4\r\n";
  }
  ws.Reset(before);

  fuzz::FakeProgram run(ws.recv.string());
  Program& p = run.p;
  test::VirtualClock& clock = run.clock;
  test::FakeComm& comm = run.comm;
  test::FakeWindow& window = run.window;
  test::FakeSystem& system = run.system;
  SetDefaults(p);
  p.settings.BlockCheck = !(flags & 1);
  p.settings.SerialNumbers = !(flags & 2);
  p.settings.AppendOutput = (flags & 4) != 0;
  p.settings.TimeoutCount = static_cast<int16_t>(1 + (data[1] & 3));
  window.Bind([&p] { p.state.AbortFlag = true; }, nullptr);
  if (flags & 16) window.cancelAt = clock.now + when;
  if (flags & 64) system.failWritesAfter = when;
  if (flags & 128) {
    system.driveDir = ws.recv.string();
    p.file.Directory = "A:\\";
    const bool queried = when != 0, ok = when > 1;
    system.space = {queried, ok,  static_cast<int16_t>(queried ? 5 : 48),
                    1,       512, static_cast<uint64_t>(ok ? when - 2 : 0),
                    100};
    window.yesNoAnswer = (data[1] & 1) != 0;  // to "is there room?" after a failed query
  }

  // The first chunk and those with it come at once, each later one after the next write.
  const std::vector<fuzz::Chunk> chunks = fuzz::SplitChunks(traffic);
  size_t next = 0;
  auto deliver = [&] {
    do {
      comm.Reply(chunks[next].bytes, chunks[next].delaySeconds);
      ++next;
    } while (next < chunks.size() && chunks[next].withPrevious);
  };
  int writes = 0;
  comm.onOutput = [&](const std::string&) {
    ++writes;
    if ((flags & 32) && writes == when) comm.nextEvent = static_cast<int16_t>(1000 + when % 11);
    if (next < chunks.size()) deliver();
  };
  if (!chunks.empty()) deliver();

  const int16_t code = fuzz::RunChecked(p, ReceiveFile);
  fuzz::Show("result %d, %d writes, file %s", code, writes, p.file.Name.c_str());
  ws.CheckOutside();

  const fuzz::Snapshot after = fuzz::Take(ws.recv);
  if (code != 0) {
    // A failed reception leaves the directory as it was (with +APP the file is cut back).
    fuzz::Check(after == before, "a failed reception changed the directory", code);
    return 0;
  }
  for (const auto& [name, bytes] : after) {
    fuzz::Check(!Hidden(name), "a temporary file was left behind");
    const auto old = before.find(name);
    if (old == before.end() || old->second == bytes) continue;
    // Only the received file and its field file may change; with +APP the old records stay.
    fuzz::Check(name == p.file.Name || name == p.file.FieldFileName, "another file changed");
    if (name == p.file.Name && p.settings.AppendOutput)
      fuzz::Check(bytes.starts_with(old->second), "+APP lost the file's old records");
  }
  for (const auto& [name, bytes] : before) fuzz::Check(after.count(name) == 1, "a file went away");
  return 0;
}
