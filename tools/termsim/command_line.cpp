// The simulator's command line: its usage text, and reading it into the run settings.
#include "command_line.h"

#include <getopt.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

namespace termsim {

[[noreturn]] void Fail(const std::string& what, int status) {
  std::fprintf(stderr, "%s: %s\n", program_invocation_short_name, what.c_str());
  if (status == 2) std::fprintf(stderr, "Try '%s --help'.\n", program_invocation_short_name);
  std::exit(status);
}

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

// Every option is long; getopt_long hands back these values for them.
enum OptionId {
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

const option kLong[] = {
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

// Block numbers go up to the most records a heading can announce.
constexpr long kMaxBlock = 99999;

// Each Take...Option reads one option of its group into o; false when c is not one of them.

bool TakeLineOption(int c, Options& o) {
  switch (c) {
    case kDevice:
      o.device = optarg;
      return true;
    case kPty:
      o.pty = true;
      return true;
    case kLink:
      o.link = optarg;
      return true;
    case kBaud:
      o.baud = ToLong(optarg, "baud", 50, 4000000);
      return true;
    case kNoPacing:
      o.pacing = false;
      return true;
    default:
      return false;
  }
}

bool TakeUploadOption(int c, Options& o) {
  switch (c) {
    case kFile:
      o.file = optarg;
      return true;
    case kName:
      o.name = optarg;
      return true;
    case kFields:
      o.fields = ParseFields(optarg);
      return true;
    case kProgram:
      o.program = true;
      return true;
    case kRecords:
      o.records = ToLong(optarg, "records", 0, kMaxBlock);
      return true;
    case kRepeat:
      o.transfers = ToLong(optarg, "repeat", 1, 1000000);
      return true;
    default:
      return false;
  }
}

bool TakeDownloadOption(int c, Options& o) {
  switch (c) {
    case kSave:
      o.save = optarg;
      return true;
    case kSaveHeading:
      o.saveHeading = optarg;
      return true;
    case kPrint:
      o.print = true;
      return true;
    case kCompact:
      o.compact = true;
      return true;
    default:
      return false;
  }
}

bool TakeCommonOption(int c, Options& o) {
  switch (c) {
    case kOnce:
      o.transfers = 1;
      return true;
    case kCount:
      o.transfers = ToLong(optarg, "count", 1, 1000000);
      return true;
    case kNoBcc:
      o.blockCheck = false;
      return true;
    case kNoSerial:
      o.serials = false;
      return true;
    case kAnswerDelay:
      o.answerDelayMs = ToLong(optarg, "answer-delay", 0, 600000);
      return true;
    case kRetries:
      o.retries = ToLong(optarg, "retries", 1, 100000);
      return true;
    case kTimeout:
      o.timeoutS = static_cast<double>(ToLong(optarg, "timeout-s", 1, 86400));
      return true;
    case kVerbose:
      o.verbose = true;
      return true;
    case kTurnLog:
      o.turnLog = optarg;
      return true;
    default:
      return false;
  }
}

// --nak-block K:N.
void TakeNakBlock(Faults& f) {
  std::string v = optarg;
  size_t colon = v.find(':');
  if (colon == std::string::npos) Fail("--nak-block takes K:N");
  f.nakBlock = ToLong(v.substr(0, colon).c_str(), "nak-block", 0, kMaxBlock);
  f.nakTimes = ToLong(v.substr(colon + 1).c_str(), "nak-block", 0, 1000000);
}

bool TakeFaultOption(int c, Faults& f) {
  switch (c) {
    case kSilent:
      f.silent = true;
      return true;
    case kNakBlock:
      TakeNakBlock(f);
      return true;
    case kEotAt:
      f.eotAt = ToLong(optarg, "eot-at", 0, kMaxBlock);
      return true;
    case kDropBcc:
      f.dropBcc = ToLong(optarg, "drop-bcc", 0, kMaxBlock);
      return true;
    case kRepeatBlock:
      f.repeatBlock = ToLong(optarg, "repeat-block", 1, kMaxBlock);
      return true;
    case kNoise:
      f.noise = ToLong(optarg, "noise", 0, kMaxBlock);
      return true;
    case kBabble:
      f.babble = true;
      return true;
    default:
      return false;
  }
}

// The one positional argument, the mode, and the options that need one another or a mode.
void TakeModeAndCheck(int argc, char** argv, Options& o) {
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
}

}  // namespace

Options ParseCommandLine(int argc, char** argv) {
  Options o;
  int c;
  while ((c = getopt_long(argc, argv, "", kLong, nullptr)) != -1) {
    if (c == kHelp) {
      std::fputs(kUsage, stdout);
      std::exit(0);
    }
    if (!TakeLineOption(c, o) && !TakeUploadOption(c, o) && !TakeDownloadOption(c, o) &&
        !TakeCommonOption(c, o) && !TakeFaultOption(c, o.faults)) {
      Fail("unknown option");
    }
  }
  TakeModeAndCheck(argc, argv, o);
  return o;
}

}  // namespace termsim
