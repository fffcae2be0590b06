// Terminal to PC: the terminal leads, the PC answers ACK, NAK or (giving up) EOT.
#include <cerrno>
#include <cstdio>
#include <string>

#include "frames.h"
#include "line.h"
#include "options.h"

namespace termsim {

namespace {

// The PC gets this long to answer a block before the terminal sends it again.
constexpr Millis kAnswerWait{3000};
// Bytes that stand for line noise; none of them means anything to the protocol.
constexpr char kNoise[] = "\xff\x7f\xaa\x55";

enum class Answer { kAck, kNak, kEot, kEnq, kNone };

const char* AnswerName(Answer a) {
  switch (a) {
    case Answer::kAck:
      return "ACK";
    case Answer::kNak:
      return "NAK";
    case Answer::kEot:
      return "EOT";
    case Answer::kEnq:
      return "ENQ";
    case Answer::kNone:
      break;
  }
  return "no answer";
}

// The first protocol character within the wait decides; anything else is line noise.
Answer WaitAnswer(Line& line) {
  auto until = Clock::now() + kAnswerWait;
  for (;;) {
    int c = line.ReadByte(until);
    if (c < 0) {
      line.Log("< (no answer)");
      return Answer::kNone;
    }
    Answer a = Answer::kNone;
    switch (static_cast<char>(c)) {
      case kAck:
        a = Answer::kAck;
        break;
      case kNak:
        a = Answer::kNak;
        break;
      case kEot:
        a = Answer::kEot;
        break;
      case kEnq:
        a = Answer::kEnq;
        break;
      default:
        line.Log("< ignored " + Describe(std::string(1, static_cast<char>(c))));
        continue;
    }
    line.Log(std::string("< ") + AnswerName(a));
    return a;
  }
}

enum class Outcome { kAcked, kPcGaveUp, kNoAck };

class Uploader {
 public:
  Uploader(Line& line, const Options& opt, long transfer)
      : line_(line), opt_(opt), f_(opt.faults), transfer_(transfer) {}

  bool Run(const UploadData& data) {
    if (!MakeLink()) return false;
    if (f_.babble) return Babble();

    Heading h;
    h.name = data.name;
    h.records = static_cast<long>(data.records.size());
    h.program = data.program;
    h.fields = data.fields;
    std::string heading = Frame(kSoh, HeadingText(h), opt_.blockCheck);
    if (!SendBlock(0, heading)) return false;

    for (size_t i = 0; i < data.records.size(); ++i) {
      long k = static_cast<long>(i) + 1;
      if (k == f_.eotAt) {
        Report("sends EOT instead of block " + std::to_string(k) + " (fault)");
        Close();
        return false;
      }
      std::string block = TextBlock(k, data.records[i], opt_.serials, opt_.blockCheck);
      if (!SendBlock(k, block)) return false;
      if (k == f_.repeatBlock) {
        line_.Log("repeating block " + std::to_string(k) + " (fault)");
        if (!SendBlock(-1, block)) return false;
      }
    }
    return Close();
  }

 private:
  void Report(const std::string& what) const {
    std::fprintf(stderr, "%s: upload %ld: %s\n", program_invocation_short_name, transfer_,
                 what.c_str());
  }

  void AnswerDelay() {
    if (opt_.answerDelayMs > 0) line_.SleepFor(Millis{opt_.answerDelayMs});
  }

  // ENQ every few seconds until the PC answers ACK: the PC may not have opened the port yet, or
  // may be between two runs. Only the overall time limit ends this wait.
  bool MakeLink() {
    for (;;) {
      line_.Write(std::string(1, kEnq));
      switch (WaitAnswer(line_)) {
        case Answer::kAck:
          AnswerDelay();
          return true;
        case Answer::kEot:
          Report("PC answered EOT to ENQ");
          return false;
        default:
          break;
      }
    }
  }

  // Line noise without end, as from a terminal gone wrong, until the PC gives up with EOT.
  bool Babble() {
    line_.Log("babbling without end (fault)");
    std::string noise;
    while (noise.size() < 64) noise += kNoise;
    for (;;) {
      line_.Write(noise);
      for (int c = line_.ReadByte(Clock::now()); c >= 0; c = line_.ReadByte(Clock::now())) {
        if (c == kEot) {
          Report("PC answered EOT to the noise");
          return false;
        }
      }
    }
  }

  // Sends a block until it is acknowledged. Block -1 is a deliberate repeat and takes no faults.
  bool SendBlock(long k, const std::string& block) {
    std::string what = k == 0 ? "heading" : "block " + std::to_string(k);
    for (long tries = 0;; ++tries) {
      if (tries >= opt_.retries) {
        Report("gave up on " + what + " after " + std::to_string(tries) + " sendings");
        Close();
        return false;
      }
      std::string out = block;
      if (tries == 0 && k >= 0) {
        if (k == f_.dropBcc && opt_.blockCheck) out.pop_back();
        if (k == f_.noise) out = kNoise + out;
      }
      line_.Write(out);
      Answer a = WaitAnswer(line_);
      if (a == Answer::kAck) {
        AnswerDelay();
        return true;
      }
      if (a == Answer::kEot) {
        Report("PC answered EOT to " + what);
        return false;
      }
      if (a == Answer::kNak) AnswerDelay();
    }
  }

  // EOT until the PC acknowledges it.
  bool Close() {
    for (long tries = 0; tries < opt_.retries; ++tries) {
      line_.Write(std::string(1, kEot));
      Answer a = WaitAnswer(line_);
      if (a == Answer::kAck) return true;
      if (a == Answer::kEot) {
        Report("PC answered EOT to EOT");
        return false;
      }
    }
    Report("no ACK to EOT");
    return false;
  }

  Line& line_;
  const Options& opt_;
  const Faults& f_;
  long transfer_;
};

}  // namespace

bool Upload(Line& line, const Options& opt, const UploadData& data, long transfer) {
  if (transfer > 1) {
    // Give the PC time to close and reopen the port, and forget what it said last time.
    line.SleepFor(Millis{300});
  }
  line.Discard();
  return Uploader(line, opt, transfer).Run(data);
}

}  // namespace termsim
