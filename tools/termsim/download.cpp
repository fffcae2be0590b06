// PC to terminal: the PC leads, the terminal answers ACK, NAK or (refusing) EOT.
#include <cerrno>
#include <cstdio>
#include <string>
#include <vector>

#include "compact.h"
#include "frames.h"
#include "line.h"
#include "options.h"

namespace termsim {

namespace {

// A block whose bytes stop coming for this long (plus two character times) is incomplete.
constexpr Millis kByteGap{500};
// After refusing with EOT, how long to wait for the PC's own EOT.
constexpr Millis kCloseWait{10000};
// The heading text is at most 51 characters; anything much longer without ETX is garbage.
constexpr size_t kMaxHeadingText = 80;
constexpr char kGarbage = '\xff';

enum class Kind { kEnq, kEot, kBlock, kBad, kIncomplete };

struct Received {
  Kind kind;
  std::string body;  // heading text, or serial and record, without frame and check byte
  std::string why;   // for kBad and kIncomplete
};

std::string OutputPath(const std::string& pattern, long transfer) {
  std::string path = pattern;
  size_t at = path.find("%n");
  if (at != std::string::npos) path.replace(at, 2, std::to_string(transfer));
  return path;
}

// With "%n" in the name every transfer has its own file; otherwise later transfers append.
std::FILE* OpenOutput(const std::string& pattern, long transfer) {
  bool own = pattern.find("%n") != std::string::npos;
  std::string path = OutputPath(pattern, transfer);
  std::FILE* f = std::fopen(path.c_str(), own || transfer == 1 ? "wb" : "ab");
  if (!f)
    std::fprintf(stderr, "%s: cannot write %s\n", program_invocation_short_name, path.c_str());
  return f;
}

class Downloader {
 public:
  Downloader(Line& line, const Options& opt, long transfer)
      : line_(line), opt_(opt), f_(opt.faults), transfer_(transfer) {}

  bool Run() {
    bool ok = Dialogue();
    Save();
    return ok;
  }

 private:
  void Report(const std::string& what) const {
    std::fprintf(stderr, "%s: download %ld: %s\n", program_invocation_short_name, transfer_,
                 what.c_str());
  }

  Clock::duration Gap() const { return kByteGap + 2 * line_.CharTime(); }

  // Sends a one-character answer to block k (0 = heading, -1 = no block).
  void Answer(char c, long k) {
    if (opt_.answerDelayMs > 0) line_.SleepFor(Millis{opt_.answerDelayMs});
    if (k >= 0 && k == f_.noise) {
      line_.Write(std::string(1, kGarbage));
      line_.SleepFor(Millis{20});
    }
    line_.Write(std::string(1, c));
  }

  // Waits (bounded by the overall limit) for the next ENQ, EOT or block opened by `opener`;
  // other bytes between blocks are line noise. `length` is the whole block's expected length
  // (0: up to ETX and, with block checks on, one more byte).
  Received Receive(char opener, size_t length) {
    int c;
    for (;;) {
      c = line_.ReadByte(TimePoint::max());
      if (c == kEnq) return {Kind::kEnq, {}, {}};
      if (c == kEot) return {Kind::kEot, {}, {}};
      if (c == opener) break;
      line_.Log("< ignored " + Describe(std::string(1, static_cast<char>(c))));
    }
    std::string block(1, opener);
    auto more = [&]() {
      int b = line_.ReadByte(Clock::now() + Gap());
      if (b >= 0) block += static_cast<char>(b);
      return b >= 0;
    };
    if (length == 0) {
      while (block.back() != kEtx) {
        if (block.size() > kMaxHeadingText + 1) {
          line_.Log("< " + Describe(block));
          return {Kind::kBad, {}, "no ETX"};
        }
        if (!more()) {
          line_.Log("< " + Describe(block));
          return {Kind::kIncomplete, {}, "block stopped before ETX"};
        }
      }
      length = block.size() + (opt_.blockCheck ? 1 : 0);
      if (opt_.blockCheck) more();
    } else {
      while (block.size() < length && more()) {
      }
    }
    line_.Log("< " + Describe(block));

    size_t etx = length - (opt_.blockCheck ? 2 : 1);
    if (block.size() == length) {
      if (block[etx] != kEtx) return {Kind::kBad, {}, "ETX not where expected"};
      if (opt_.blockCheck && XorOf(std::string_view(block).substr(1, etx)) != block.back()) {
        return {Kind::kBad, {}, "block check wrong"};
      }
    } else if (opt_.blockCheck && block.size() + 1 == length && block.back() == kEtx) {
      // The check byte did not come; it may have been a NUL lost on the line.
      if (XorOf(std::string_view(block).substr(1)) != kNul) {
        return {Kind::kBad, {}, "block check missing"};
      }
    } else {
      return {Kind::kIncomplete, {}, "block incomplete"};
    }
    return {Kind::kBlock, block.substr(1, etx - 1), {}};
  }

  // After this side refused with EOT: acknowledge the PC's closing EOT when it comes.
  void AwaitPcEot() {
    auto until = Clock::now() + kCloseWait;
    for (;;) {
      int c = line_.ReadByte(until);
      if (c < 0) return;
      if (c == kEot) {
        line_.Log("< EOT");
        Answer(kAck, -1);
        return;
      }
    }
  }

  // The phases of one download: the link request, the heading, the records.
  bool Dialogue() {
    AwaitLinkRequest();
    if (!ReceiveHeading()) return false;
    return ReceiveRecords();
  }

  // Answers the PC's ENQ with ACK; anything before it is line noise. A silent terminal never
  // answers: the wait ends by the overall limit or a signal.
  void AwaitLinkRequest() {
    if (f_.silent) {
      line_.SleepUntil(TimePoint::max());
    }
    for (;;) {
      int c = line_.ReadByte(TimePoint::max());
      if (c == kEnq) break;
      line_.Log("< ignored " + Describe(std::string(1, static_cast<char>(c))));
    }
    line_.Log("< ENQ");
    Answer(kAck, -1);
  }

  // One text block after another until the PC's EOT; true when every announced record came.
  bool ReceiveRecords() {
    const size_t length = TextBlockLength();
    long expected = 1;
    long naks = 0;
    for (;;) {
      Received r = Receive(kStx, length);
      switch (r.kind) {
        case Kind::kEnq:
          // The PC asks again after it missed the heading's ACK; later it means nothing good.
          line_.Log("< ENQ");
          Answer(expected == 1 ? kAck : kNak, -1);
          continue;
        case Kind::kEot:
          line_.Log("< EOT");
          Answer(kAck, -1);
          if (expected > heading_.records) return true;
          Report("PC ended after " + std::to_string(expected - 1) + " of " +
                 std::to_string(heading_.records) + " records");
          return false;
        case Kind::kIncomplete:
          line_.Log("(" + r.why + ", not answered)");
          continue;
        case Kind::kBad:
          line_.Log("(" + r.why + ")");
          Answer(kNak, expected);
          continue;
        case Kind::kBlock:
          break;
      }
      if (!TakeRecord(r.body, expected, naks)) return false;
    }
  }

  // The serial number a text block carries (-1 when it is not five digits), or the expected one
  // when blocks carry none.
  long SerialOf(const std::string& body, long expected) const {
    if (!opt_.serials) return expected;
    std::string digits = body.substr(0, 5);
    if (digits.find_first_not_of("0123456789") != std::string::npos) return -1;
    return std::stol(digits);
  }

  // Answers a whole text block: ACK and the record kept when it is the expected one, ACK alone
  // for a repeat, NAK otherwise or by a fault. False when this side refuses the transfer with
  // EOT (a fault).
  bool TakeRecord(const std::string& body, long& expected, long& naks) {
    long serial = SerialOf(body, expected);
    std::string record = opt_.serials ? body.substr(5) : body;
    if (serial != expected) {
      if (serial == expected - 1) {
        line_.Log("(repeat of block " + std::to_string(serial) + ")");
        Answer(kAck, -1);
      } else {
        line_.Log("(serial " + body.substr(0, 5) + ", expected " + Serial5(expected) + ")");
        Answer(kNak, expected);
      }
      return true;
    }
    if (expected > heading_.records) {
      line_.Log("(block beyond the announced count)");
      Answer(kNak, expected);
      return true;
    }
    if (expected == f_.nakBlock && naks < f_.nakTimes) {
      ++naks;
      line_.Log("(refusing block " + std::to_string(expected) + ", fault)");
      Answer(kNak, expected);
      return true;
    }
    if (expected == f_.eotAt) {
      Report("answers EOT to block " + std::to_string(expected) + " (fault)");
      Answer(kEot, expected);
      AwaitPcEot();
      return false;
    }
    if (opt_.compact && !Unpack(record, expected)) {
      Answer(kNak, expected);
      return true;
    }
    records_.push_back(record);
    Answer(kAck, expected);
    ++expected;
    return true;
  }

  // The whole length of a text block, or 0 when it is known only by its ETX: a compacted record
  // shorter than the full one, whose length follows each line of the PC.
  size_t TextBlockLength() const {
    size_t data = static_cast<size_t>(heading_.recordLength);
    if (opt_.compact) {
      if (heading_.recordLength < kCompactFullLength) return 0;
      data = kCompactedLength;
    }
    return data + 2 + (opt_.blockCheck ? 1 : 0) + (opt_.serials ? 5 : 0);
  }

  // Replaces a compacted record by the line it was made from; false when it cannot be one.
  bool Unpack(std::string& record, long number) {
    const std::string which = "record " + std::to_string(number);
    auto u = UnpackRecord(record);
    if (!u) {
      line_.Log("(" + which + ": " + std::to_string(record.size()) +
                " characters cannot be a compacted record)");
      return false;
    }
    for (const auto& part : u->notPacked)
      line_.Log("(" + which + ": " + part + " not packed digits, kept as received)");
    record = u->line;
    return true;
  }

  bool ReceiveHeading() {
    long naks = 0;
    for (;;) {
      Received r = Receive(kSoh, 0);
      switch (r.kind) {
        case Kind::kEnq:
          line_.Log("< ENQ");
          Answer(kAck, -1);
          continue;
        case Kind::kEot:
          line_.Log("< EOT");
          Answer(kAck, -1);
          Report("PC ended before the heading");
          return false;
        case Kind::kIncomplete:
          line_.Log("(" + r.why + ", not answered)");
          continue;
        case Kind::kBad:
          line_.Log("(" + r.why + ")");
          Answer(kNak, 0);
          continue;
        case Kind::kBlock:
          break;
      }
      std::string why;
      auto h = ParseHeadingText(r.body, why);
      if (!h) {
        line_.Log("(bad heading: " + why + ")");
        Answer(kNak, 0);
        continue;
      }
      if (f_.nakBlock == 0 && naks < f_.nakTimes) {
        ++naks;
        line_.Log("(refusing the heading, fault)");
        Answer(kNak, 0);
        continue;
      }
      heading_ = *h;
      haveHeading_ = true;
      line_.Log("(heading " + HeadingSummary(heading_) + ")");
      if (f_.eotAt == 0) {
        Report("answers EOT to the heading (fault)");
        Answer(kEot, 0);
        AwaitPcEot();
        return false;
      }
      Answer(kAck, 0);
      return true;
    }
  }

  void Save() {
    if (!haveHeading_) return;
    if (!opt_.saveHeading.empty()) {
      if (std::FILE* f = OpenOutput(opt_.saveHeading, transfer_)) {
        std::fprintf(f, "%s\n", HeadingSummary(heading_).c_str());
        std::fclose(f);
      }
    }
    if (!opt_.save.empty()) {
      if (std::FILE* f = OpenOutput(opt_.save, transfer_)) {
        for (const auto& rec : records_) {
          std::fwrite(rec.data(), 1, rec.size(), f);
          std::fputs("\r\n", f);
        }
        std::fclose(f);
      }
    }
    if (opt_.print) {
      std::printf("transfer %ld: %s received=%zu\n", transfer_, HeadingSummary(heading_).c_str(),
                  records_.size());
      for (const auto& rec : records_) std::printf("%s\n", rec.c_str());
      std::fflush(stdout);
    }
  }

  Line& line_;
  const Options& opt_;
  const Faults& f_;
  long transfer_;
  Heading heading_;
  bool haveHeading_ = false;
  std::vector<std::string> records_;
};

}  // namespace

bool Download(Line& line, const Options& opt, long transfer) {
  return Downloader(line, opt, transfer).Run();
}

}  // namespace termsim
