// termsim: plays the handheld terminal's side of the block protocol over a serial line.
#include <fcntl.h>
#include <getopt.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "frames.h"
#include "line.h"
#include "options.h"

namespace termsim {
namespace {

constexpr const char* kUsage =
    R"(NAME
    termsim - handheld terminal simulator for the block protocol

SYNOPSIS
    termsim (--device PATH | --pty [--link PATH]) [OPTIONS] upload
            (--file PATH | --records N) [--name NAME] [--fields L1,L2,... | --program]
    termsim (--device PATH | --pty [--link PATH]) [OPTIONS] download
            [--save PATH] [--save-heading PATH] [--print] [--compact]

DESCRIPTION
    termsim plays the terminal's side of the block protocol, so that the PC program can be
    tried, tested and measured without a terminal. In upload mode the terminal sends a file
    to the PC: ENQ until the PC answers ACK, the heading block, one text block per record,
    then EOT until ACK; a block is sent again on NAK or after 3 s without an answer. In
    download mode it receives a file from the PC: it answers ENQ with ACK, checks the heading
    and every text block (length, ETX, block check, serial number) and answers ACK or NAK,
    acknowledges a repeated block without keeping it, and answers the PC's EOT with ACK.
    If the PC answers EOT (it gives up), the transfer ends as failed.

LINE
    --device PATH     use an existing tty: raw 8-bit, no flow control, speed from --baud.
    --pty             create a pseudo-terminal pair and print the path of its slave side
                      as a line "PTY /dev/pts/N" on stdout. The simulator keeps the slave
                      open itself, so that the PC program may open and close it at will.
    --link PATH       with --pty: make PATH a symbolic link to the slave (an existing
                      symbolic link is replaced); it is removed on exit.
    --baud N          line speed. The simulator paces its side like a line of N baud,
                      10 bits a character, in both directions: it writes no faster than the
                      line rate, and a received byte counts as arrived only once its line
                      time has passed. On a tty the speed is also set. Default: no pacing.
    --no-pacing       set the tty speed from --baud but do not pace.

UPLOAD (terminal to PC)
    --file PATH       PC text file whose lines become records (a line ends at CR, CR LF
                      or LF); each line is cut or padded to the record length.
    --records N       instead of a file: N synthetic records. Field j of record i holds
                      the text "i.j." repeated and cut to the field's length (a program
                      record: "i." repeated).
    --name NAME       terminal file name in the heading (at most 12 characters).
                      Default: the file's base name in upper case, or ORDERS.BHT.
    --fields L,...    field lengths (1..99, at most 16 fields); the record length is
                      their sum, records are padded with blanks. Default with --file: one
                      field as long as the longest line.
    --program         a program file: the record length comes from the name's extension
                      (PD3 128, FN3 and EX3 130), no field part, records padded with "0".
                      A name with one of these extensions is a program file anyway.
    --repeat N        upload N times in a row (the PC's continuous mode): between two
                      uploads pause 300 ms, then send ENQ until the PC answers ACK.

DOWNLOAD (PC to terminal)
    --save PATH       write the received records as lines ending in CR LF, bytes unchanged.
    --save-heading PATH
                      write the heading as one line:
                      name=NAME records=N fields=L1,L2,... length=RECORDLENGTH
                      (fields=- for a program file).
    --print           print the heading line and the records on stdout.
    --compact         the PC compacts its records (its +CMP): a text block carries 29
                      characters instead of the record length (with a record length
                      below 42, fewer, as many as each line gives; the block then ends
                      at its ETX). Each record is unpacked into the PC's line as far as
                      it can be told again: positions 1-18 the digits of the first part,
                      right-justified (an odd count of digits with a 0 in front),
                      19-34 the text, 35-39 and 41-42 the last digits, 40 a blank. A
                      part the PC could not pack arrives as ERROR and is kept as
                      received; --verbose names it. --save and --print give the
                      unpacked records.
    With several transfers, "%n" in a PATH is replaced by the transfer's number (from 1);
    without it, later transfers append to the file.

COMMON OPTIONS
    --once            one transfer, then exit (the default).
    --count N         N transfers, then exit (upload: the same as --repeat N).
    --no-bcc          blocks carry no block check character (the PC's -PB).
    --no-serial       text blocks carry no serial number (the PC's -SN).
    --answer-delay MS wait MS milliseconds before every answer (download) or before the
                      next block after an answer (upload). Default 0.
    --retries N       upload: sendings of one block before giving up with EOT. Default 10.
    --timeout-s S     give up after S seconds overall, whatever happens. Default 120.
    --verbose         log the dialogue on stderr, with times in seconds.
    --turn-log PATH   at the end, write every change of hands on the line to PATH, one
                      line each: "pc G N" or "terminal G N": that side began to send G
                      milliseconds after the last of the N characters the other side had
                      just sent was on the line. For a block answered, G is the answer's
                      latency; for an answer followed by a block, the sender's reaction.
    --help            print this text.

FAULTS
    Block 0 is the heading, block K the K-th record.
    --silent          never put anything on the line.
    --nak-block K:N   download: answer block K with NAK the first N times it arrives.
    --eot-at K        download: answer block K with EOT; upload: send EOT instead of
                      block K. Either way the transfer fails.
    --drop-bcc K      upload: send block K the first time without its block check.
    --repeat-block K  upload: after block K is acknowledged, send it once more (the same
                      serial number), as a terminal does that missed the ACK.
    --noise K         upload: put line-noise bytes before the first sending of block K;
                      download: send a garbage byte 20 ms before the answer to block K.
    --babble          upload: once the link is made, send line noise without end instead
                      of the heading, until the PC gives up with EOT.

EXIT STATUS
    0 every transfer completed; 1 a transfer failed; 2 bad command line or input file;
    3 the line could not be opened or went away; 124 the overall time limit was reached;
    130 stopped by SIGINT or SIGTERM.

EXAMPLES
    termsim --pty --link /tmp/com1 --verbose download --save got.txt
    termsim --device /dev/pts/7 upload --file orders.txt --name ORDERS.BHT --fields 10,5
    termsim --pty upload --records 500 --fields 8,20 --baud 19200 --repeat 3
)";

[[noreturn]] void Fail(const std::string& what, int status = 2) {
  std::fprintf(stderr, "%s: %s\n", program_invocation_short_name, what.c_str());
  if (status == 2) std::fprintf(stderr, "Try '%s --help'.\n", program_invocation_short_name);
  std::exit(status);
}

long ToLong(const char* text, const char* option, long lo, long hi) {
  char* end = nullptr;
  errno = 0;
  long v = std::strtol(text, &end, 10);
  if (errno || end == text || *end || v < lo || v > hi) {
    Fail(std::string("bad value for --") + option + ": " + text);
  }
  return v;
}

std::vector<int> ParseFields(const std::string& text) {
  std::vector<int> out;
  std::stringstream in(text);
  std::string item;
  while (std::getline(in, item, ',')) {
    out.push_back(static_cast<int>(ToLong(item.c_str(), "fields", 1, 99)));
  }
  if (out.empty() || out.size() > 16) Fail("--fields takes 1 to 16 lengths");
  return out;
}

std::optional<speed_t> SpeedOf(long baud) {
  struct Entry {
    long baud;
    speed_t speed;
  };
  static const Entry kSpeeds[] = {
      {300, B300},   {600, B600},     {1200, B1200},   {2400, B2400},   {4800, B4800},
      {9600, B9600}, {19200, B19200}, {38400, B38400}, {57600, B57600}, {115200, B115200},
  };
  for (const auto& e : kSpeeds) {
    if (e.baud == baud) return e.speed;
  }
  return std::nullopt;
}

bool MakeRaw(int fd, long baud) {
  termios t{};
  if (tcgetattr(fd, &t) != 0) return false;
  t.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL |
                                      IXON | IXOFF | IXANY);
  t.c_oflag &= ~static_cast<tcflag_t>(OPOST);
  t.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
  t.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB);
#ifdef CRTSCTS
  t.c_cflag &= ~static_cast<tcflag_t>(CRTSCTS);
#endif
  t.c_cflag |= CS8 | CREAD | CLOCAL;
  t.c_cc[VMIN] = 1;
  t.c_cc[VTIME] = 0;
  if (baud > 0) {
    if (auto s = SpeedOf(baud)) {
      cfsetispeed(&t, *s);
      cfsetospeed(&t, *s);
    } else {
      std::fprintf(stderr, "%s: %ld baud is not a standard speed; speed left as it is\n",
                   program_invocation_short_name, baud);
    }
  }
  return tcsetattr(fd, TCSANOW, &t) == 0;
}

void SetNonBlocking(int fd) {
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
}

// Options are all long; the one positional argument is the mode.
Options ParseCommandLine(int argc, char** argv) {
  enum {
    kDevice = 256,
    kPty,
    kLink,
    kFile,
    kName,
    kFields,
    kProgram,
    kRecords,
    kRepeat,
    kSave,
    kSaveHeading,
    kPrint,
    kCompact,
    kOnce,
    kCount,
    kNoBcc,
    kNoSerial,
    kBaud,
    kNoPacing,
    kAnswerDelay,
    kRetries,
    kTimeout,
    kVerbose,
    kTurnLog,
    kHelp,
    kSilent,
    kNakBlock,
    kEotAt,
    kDropBcc,
    kRepeatBlock,
    kNoise,
    kBabble
  };
  static const option kLong[] = {
      {"device", required_argument, nullptr, kDevice},
      {"pty", no_argument, nullptr, kPty},
      {"link", required_argument, nullptr, kLink},
      {"file", required_argument, nullptr, kFile},
      {"name", required_argument, nullptr, kName},
      {"fields", required_argument, nullptr, kFields},
      {"program", no_argument, nullptr, kProgram},
      {"records", required_argument, nullptr, kRecords},
      {"repeat", required_argument, nullptr, kRepeat},
      {"save", required_argument, nullptr, kSave},
      {"save-heading", required_argument, nullptr, kSaveHeading},
      {"print", no_argument, nullptr, kPrint},
      {"compact", no_argument, nullptr, kCompact},
      {"once", no_argument, nullptr, kOnce},
      {"count", required_argument, nullptr, kCount},
      {"no-bcc", no_argument, nullptr, kNoBcc},
      {"no-serial", no_argument, nullptr, kNoSerial},
      {"baud", required_argument, nullptr, kBaud},
      {"no-pacing", no_argument, nullptr, kNoPacing},
      {"answer-delay", required_argument, nullptr, kAnswerDelay},
      {"retries", required_argument, nullptr, kRetries},
      {"timeout-s", required_argument, nullptr, kTimeout},
      {"verbose", no_argument, nullptr, kVerbose},
      {"turn-log", required_argument, nullptr, kTurnLog},
      {"help", no_argument, nullptr, kHelp},
      {"silent", no_argument, nullptr, kSilent},
      {"nak-block", required_argument, nullptr, kNakBlock},
      {"eot-at", required_argument, nullptr, kEotAt},
      {"drop-bcc", required_argument, nullptr, kDropBcc},
      {"repeat-block", required_argument, nullptr, kRepeatBlock},
      {"babble", no_argument, nullptr, kBabble},
      {"noise", required_argument, nullptr, kNoise},
      {nullptr, 0, nullptr, 0},
  };
  constexpr long kMaxBlock = 99999;
  Options o;
  int c;
  while ((c = getopt_long(argc, argv, "", kLong, nullptr)) != -1) {
    switch (c) {
      case kDevice:
        o.device = optarg;
        break;
      case kPty:
        o.pty = true;
        break;
      case kLink:
        o.link = optarg;
        break;
      case kFile:
        o.file = optarg;
        break;
      case kName:
        o.name = optarg;
        break;
      case kFields:
        o.fields = ParseFields(optarg);
        break;
      case kProgram:
        o.program = true;
        break;
      case kRecords:
        o.records = ToLong(optarg, "records", 0, kMaxBlock);
        break;
      case kRepeat:
        o.transfers = ToLong(optarg, "repeat", 1, 1000000);
        break;
      case kSave:
        o.save = optarg;
        break;
      case kSaveHeading:
        o.saveHeading = optarg;
        break;
      case kPrint:
        o.print = true;
        break;
      case kCompact:
        o.compact = true;
        break;
      case kOnce:
        o.transfers = 1;
        break;
      case kCount:
        o.transfers = ToLong(optarg, "count", 1, 1000000);
        break;
      case kNoBcc:
        o.blockCheck = false;
        break;
      case kNoSerial:
        o.serials = false;
        break;
      case kBaud:
        o.baud = ToLong(optarg, "baud", 50, 4000000);
        break;
      case kNoPacing:
        o.pacing = false;
        break;
      case kAnswerDelay:
        o.answerDelayMs = ToLong(optarg, "answer-delay", 0, 600000);
        break;
      case kRetries:
        o.retries = ToLong(optarg, "retries", 1, 100000);
        break;
      case kTimeout:
        o.timeoutS = static_cast<double>(ToLong(optarg, "timeout-s", 1, 86400));
        break;
      case kVerbose:
        o.verbose = true;
        break;
      case kTurnLog:
        o.turnLog = optarg;
        break;
      case kHelp:
        std::fputs(kUsage, stdout);
        std::exit(0);
      case kSilent:
        o.faults.silent = true;
        break;
      case kNakBlock: {
        std::string v = optarg;
        size_t colon = v.find(':');
        if (colon == std::string::npos) Fail("--nak-block takes K:N");
        o.faults.nakBlock = ToLong(v.substr(0, colon).c_str(), "nak-block", 0, kMaxBlock);
        o.faults.nakTimes = ToLong(v.substr(colon + 1).c_str(), "nak-block", 0, 1000000);
        break;
      }
      case kEotAt:
        o.faults.eotAt = ToLong(optarg, "eot-at", 0, kMaxBlock);
        break;
      case kDropBcc:
        o.faults.dropBcc = ToLong(optarg, "drop-bcc", 0, kMaxBlock);
        break;
      case kRepeatBlock:
        o.faults.repeatBlock = ToLong(optarg, "repeat-block", 1, kMaxBlock);
        break;
      case kNoise:
        o.faults.noise = ToLong(optarg, "noise", 0, kMaxBlock);
        break;
      case kBabble:
        o.faults.babble = true;
        break;
      default:
        Fail("unknown option");
    }
  }
  if (optind + 1 != argc) Fail("give one mode: upload or download");
  std::string mode = argv[optind];
  if (mode == "upload") {
    o.mode = Mode::kUpload;
  } else if (mode == "download") {
    o.mode = Mode::kDownload;
  } else {
    Fail("unknown mode '" + mode + "'");
  }
  if (o.compact && o.mode != Mode::kDownload) Fail("--compact is for download");
  if (o.pty == !o.device.empty()) Fail("give either --device PATH or --pty");
  if (!o.link.empty() && !o.pty) Fail("--link needs --pty");
  if (o.mode == Mode::kUpload && o.file.empty() && o.records < 0) {
    Fail("upload needs --file PATH or --records N");
  }
  return o;
}

// Splits a PC text file into lines: a line ends at CR, CR LF or LF.
std::vector<std::string> ReadLines(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) Fail("cannot read " + path);
  std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::vector<std::string> lines;
  std::string cur;
  for (size_t i = 0; i < all.size(); ++i) {
    char c = all[i];
    if (c == '\r' || c == '\n') {
      lines.push_back(cur);
      cur.clear();
      if (c == '\r' && i + 1 < all.size() && all[i + 1] == '\n') ++i;
    } else {
      cur += c;
    }
  }
  if (!cur.empty()) lines.push_back(cur);
  return lines;
}

std::string Repeated(const std::string& unit, size_t len) {
  std::string s;
  while (s.size() < len) s += unit;
  return s.substr(0, len);
}

UploadData PrepareUpload(const Options& o) {
  UploadData d;
  std::vector<std::string> lines;
  if (!o.file.empty()) lines = ReadLines(o.file);

  d.name = o.name;
  if (d.name.empty() && !o.file.empty()) {
    size_t slash = o.file.rfind('/');
    d.name = slash == std::string::npos ? o.file : o.file.substr(slash + 1);
    for (char& c : d.name) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  }
  if (d.name.empty()) d.name = "ORDERS.BHT";
  if (d.name.size() > 12) Fail("terminal file name longer than 12 characters: " + d.name);

  int programLength = ProgramRecordLength(d.name);
  if (programLength == 1024) Fail("PD4 program files do not go by the block protocol");
  if (o.program && programLength == 0) {
    Fail("--program needs a name ending in .PD3, .FN3 or .EX3: " + d.name);
  }
  d.program = programLength > 0;
  if (d.program) {
    d.recordLength = programLength;
  } else {
    d.fields = o.fields;
    if (d.fields.empty()) {
      if (o.file.empty()) Fail("--records needs --fields");
      size_t longest = 1;
      for (const auto& l : lines) longest = std::max(longest, l.size());
      d.fields.push_back(static_cast<int>(std::min<size_t>(longest, 99)));
    }
    for (int len : d.fields) d.recordLength += len;
    if (static_cast<int>(d.fields.size()) + d.recordLength > 255) {
      Fail("record too long: field count plus record length exceeds 255");
    }
  }

  if (o.file.empty()) {
    for (long i = 1; i <= o.records; ++i) {
      std::string rec;
      std::string n = std::to_string(i);
      if (d.program) {
        rec = Repeated(n + ".", static_cast<size_t>(d.recordLength));
      } else {
        for (size_t j = 0; j < d.fields.size(); ++j) {
          rec += Repeated(n + "." + std::to_string(j + 1) + ".", static_cast<size_t>(d.fields[j]));
        }
      }
      lines.push_back(rec);
    }
  }
  if (lines.size() > 99999) Fail("more than 99999 records do not fit the heading");
  char pad = d.program ? '0' : ' ';
  for (auto& l : lines) {
    l.resize(static_cast<size_t>(d.recordLength), pad);
    d.records.push_back(l);
  }
  return d;
}

// The line and what must be undone when the run ends.
struct Port {
  int fd = -1;
  int slaveFd = -1;
  std::string slavePath;
  std::string link;

  ~Port() {
    if (!link.empty()) {
      char target[4096];
      ssize_t n = ::readlink(link.c_str(), target, sizeof target - 1);
      if (n >= 0 && std::string(target, static_cast<size_t>(n)) == slavePath) {
        ::unlink(link.c_str());
      }
    }
    if (slaveFd >= 0) ::close(slaveFd);
    if (fd >= 0) ::close(fd);
  }
};

// The PC program opens the port exclusively. The flag belongs to the pseudo-terminal, and since
// this side keeps the slave open the tty is never closed for good, so the flag would outlive the
// PC's close and refuse its next open (continuous mode). Clear it after every transfer.
void ReleaseExclusive(const Port& port) {
#ifdef TIOCNXCL
  if (port.slaveFd >= 0) ::ioctl(port.slaveFd, TIOCNXCL);
#else
  (void)port;
#endif
}

void OpenPort(const Options& o, Port& port) {
  long ttyBaud = o.baud;
  if (o.pty) {
    port.fd = ::posix_openpt(O_RDWR | O_NOCTTY);
    if (port.fd < 0 || ::grantpt(port.fd) != 0 || ::unlockpt(port.fd) != 0) {
      Fail(std::string("cannot create a pseudo-terminal: ") + std::strerror(errno), 3);
    }
    const char* name = ::ptsname(port.fd);
    if (!name) Fail("cannot name the pseudo-terminal", 3);
    port.slavePath = name;
    port.slaveFd = ::open(name, O_RDWR | O_NOCTTY);
    if (port.slaveFd < 0 || !MakeRaw(port.slaveFd, ttyBaud)) {
      Fail("cannot set up " + port.slavePath, 3);
    }
    if (!o.link.empty()) {
      struct stat st {};
      if (::lstat(o.link.c_str(), &st) == 0) {
        if (!S_ISLNK(st.st_mode)) Fail(o.link + " exists and is not a symbolic link", 3);
        ::unlink(o.link.c_str());
      }
      if (::symlink(port.slavePath.c_str(), o.link.c_str()) != 0) {
        Fail("cannot create link " + o.link + ": " + std::strerror(errno), 3);
      }
      port.link = o.link;
    }
    std::printf("PTY %s\n", port.slavePath.c_str());
    std::fflush(stdout);
  } else {
    port.fd = ::open(o.device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (port.fd < 0) Fail("cannot open " + o.device + ": " + std::strerror(errno), 3);
    if (::isatty(port.fd) && !MakeRaw(port.fd, ttyBaud)) Fail("cannot set up " + o.device, 3);
  }
  SetNonBlocking(port.fd);
}

int Run(int argc, char** argv) {
  Options o = ParseCommandLine(argc, argv);
  UploadData data;
  if (o.mode == Mode::kUpload) data = PrepareUpload(o);

  // SIGINT and SIGTERM stay pending; every wait looks for them and ends the run cleanly.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  sigprocmask(SIG_BLOCK, &stopSignals, nullptr);

  Port port;
  OpenPort(o, port);

  LineConfig cfg;
  cfg.paceBaud = o.pacing ? o.baud : 0;
  cfg.silent = o.faults.silent;
  cfg.verbose = o.verbose;
  cfg.turnLog = o.turnLog;
  cfg.deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                    std::chrono::duration<double>(o.timeoutS));
  Line line(port.fd, cfg);
  try {
    bool ok = true;
    for (long t = 1; ok && t <= o.transfers; ++t) {
      ok = o.mode == Mode::kUpload ? Upload(line, o, data, t) : Download(line, o, t);
      ReleaseExclusive(port);
      if (ok) line.Log("transfer " + std::to_string(t) + " complete");
    }
    // The PC reads the last answer from the pseudo-terminal only while this side holds it open.
    if (o.pty) line.SleepFor(Millis{300});
    return ok ? 0 : 1;
  } catch (const Stop& stop) {
    std::fprintf(stderr, "%s: %s\n", program_invocation_short_name, stop.what());
    return stop.status();
  }
}

}  // namespace
}  // namespace termsim

int main(int argc, char** argv) {
  return termsim::Run(argc, argv);
}
