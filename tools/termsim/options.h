// The simulator's run settings, as read from its command line.
#pragma once

#include <string>
#include <vector>

namespace termsim {

enum class Mode { kNone, kUpload, kDownload };

struct Faults {
  bool silent = false;
  long nakBlock = -1;     // block to refuse (0 = heading) ...
  long nakTimes = 0;      // ... this many times
  long eotAt = -1;        // download: answer EOT to this block; upload: send EOT instead of it
  long dropBcc = -1;      // upload: first sending of this block lacks its check byte
  long repeatBlock = -1;  // upload: send this block again after its ACK
  long noise = -1;        // upload: noise before this block; download: garbage before its answer
  bool babble = false;    // upload: endless noise instead of the heading, until the PC gives up
};

struct Options {
  Mode mode = Mode::kNone;
  std::string device;
  bool pty = false;
  std::string link;

  // upload
  std::string file;
  std::string name;
  std::vector<int> fields;
  bool program = false;
  long records = -1;  // synthetic records when no file is given

  // download
  std::string save;
  std::string saveHeading;
  bool print = false;
  bool compact = false;  // the PC compacts its records; they are unpacked

  long transfers = 1;
  bool blockCheck = true;
  bool serials = true;
  long baud = 0;
  bool pacing = true;
  long answerDelayMs = 0;
  long retries = 10;
  double timeoutS = 120;
  bool verbose = false;
  std::string turnLog;
  Faults faults;
};

class Line;

// One transfer each; true when it completed. Messages about failures go to stderr.
// `transfer` counts from 1.
struct UploadData {
  std::string name;
  bool program = false;
  std::vector<int> fields;
  int recordLength = 0;
  std::vector<std::string> records;  // already cut and padded
};
bool Upload(Line& line, const Options& opt, const UploadData& data, long transfer);
bool Download(Line& line, const Options& opt, long transfer);

}  // namespace termsim
