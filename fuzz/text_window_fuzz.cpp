// The text view of the status window: keys from the keyboard (escape sequences of cursor and
// function keys among them) and the texts it shows, which hold names that came from the
// terminal. Byte 0: 1 the view draws on a terminal, 2 the run is over (the button reads
// "Exit"). The rest are chunks (see harness.h): a chunk with the "with the previous" bit is a
// text for the field its delay bits choose, any other is keys typed then.

#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "harness.h"
#include "ui/text_window.h"

using namespace telvaro3;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1 || size > 16384) return -1;  // the keys must fit into the pipe
  const uint8_t flags = data[0];
  const std::vector<fuzz::Chunk> chunks =
      fuzz::SplitChunks(std::string_view(reinterpret_cast<const char*>(data) + 1, size - 1));

  char* buf = nullptr;
  size_t len = 0;
  std::FILE* out = open_memstream(&buf, &len);
  int keys[2];
  fuzz::Check(out != nullptr && pipe(keys) == 0, "no pipe or stream");
  auto now = ui::TextWindowIo::Clock::time_point() + std::chrono::hours(1);
  int cancels = 0;
  size_t typed = 0, cancelKeys = 0;
  {
    ui::TextWindow w(ui::TextWindowIo{keys[0], out, true, (flags & 1) != 0, false, 80,
                                      [&now] { return now; }, [] { return true; }});
    w.Bind([&cancels] { ++cancels; }, nullptr);
    // The about box waits for its own key; with the keyboard still open that could be for ever.
    w.SetAboutEnabled(false);
    w.Show();
    if (flags & 2) w.SetCommandCaption("Exit");
    const Field fields[] = {Field::FileBox, Field::StatusBox, Field::MsgLabel, Field::RecordsBox};
    for (const fuzz::Chunk& c : chunks) {
      if (c.withPrevious) {
        w.SetText(fields[static_cast<int>(c.delaySeconds * 4) % 4], c.bytes);
      } else {
        fuzz::Check(write(keys[1], c.bytes.data(), c.bytes.size()) == ssize_t(c.bytes.size()),
                    "keys lost");
        typed += c.bytes.size();
        for (char k : c.bytes) cancelKeys += k == 'c' || k == 'C' || k == '\x1b';
      }
      now += std::chrono::milliseconds(60);
      w.WaitEvents(0);
      w.SetProgress(static_cast<int>(typed % 101));
    }
    close(keys[1]);
    w.WaitEvents(0);
    w.MessageBox("T", "M", MsgIcon::None);
    w.AskYesNo("T", "Q?");  // the keyboard is at its end: answered at once
    w.Unload();
  }
  close(keys[0]);
  std::fclose(out);
  std::free(buf);
  // The button is pressed only by a key that presses it, and at most once a read of the keys.
  fuzz::Check(cancels == 0 || cancelKeys > 0 || (flags & 2), "pressed without a key", cancels);
  fuzz::Check(cancels <= static_cast<int>(typed + 2), "pressed too often", cancels);
  return 0;
}
