// The terminal simulator, driven through a pseudo-terminal by a minimal PC side played here.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr char SOH = 0x01, STX = 0x02, ETX = 0x03, EOT = 0x04, ENQ = 0x05, ACK = 0x06, NAK = 0x15;
const std::string kTermsim = TELVARO3_BINARY_DIR "/tools/termsim/termsim";

char Xor(const std::string& s) {
  unsigned char acc = 0;
  for (char c : s) acc ^= static_cast<unsigned char>(c);
  return static_cast<char>(acc);
}

// SOH/STX, body, ETX and the check byte over body and ETX.
std::string Block(char opener, const std::string& body, bool check = true) {
  std::string b = body + ETX;
  if (check) b += Xor(b);
  return opener + b;
}

std::string TempPath(const std::string& name) {
  return ::testing::TempDir() + "termsim_" + std::to_string(::getpid()) + "_" + name;
}

std::string Slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// A pseudo-terminal whose slave side the simulator opens as its "device"; the test is the PC
// on the master side.
class PcSide {
 public:
  PcSide() {
    master_ = ::posix_openpt(O_RDWR | O_NOCTTY);
    if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0) return;
    slavePath_ = ::ptsname(master_);
    slave_ = ::open(slavePath_.c_str(), O_RDWR | O_NOCTTY);
    termios t{};
    ::tcgetattr(slave_, &t);
    t.c_iflag = 0;
    t.c_oflag = 0;
    t.c_lflag = 0;
    t.c_cflag = CS8 | CREAD | CLOCAL;
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    ::tcsetattr(slave_, TCSANOW, &t);
  }
  ~PcSide() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    if (slave_ >= 0) ::close(slave_);
    if (master_ >= 0) ::close(master_);
  }

  bool ok() const { return master_ >= 0 && slave_ >= 0; }

  void Start(std::vector<std::string> args) {
    args.insert(args.begin(), {kTermsim, "--device", slavePath_, "--timeout-s", "20"});
    pid_ = ::fork();
    if (pid_ == 0) {
      std::vector<char*> argv;
      for (auto& a : args) argv.push_back(a.data());
      argv.push_back(nullptr);
      ::execv(argv[0], argv.data());
      ::_exit(127);
    }
  }

  // Exit status of the simulator; it ends by its own time limit at the latest.
  int Finish() {
    int status = 0;
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  void Send(const std::string& bytes) {
    ASSERT_EQ(::write(master_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  }

  // Reads exactly n bytes, or what came before a generous safety limit.
  std::string Read(size_t n) {
    std::string got;
    while (got.size() < n) {
      pollfd p{master_, POLLIN, 0};
      if (::poll(&p, 1, 10000) <= 0) break;
      char buf[512];
      ssize_t r = ::read(master_, buf, std::min(sizeof buf, n - got.size()));
      if (r <= 0) break;
      got.append(buf, static_cast<size_t>(r));
    }
    return got;
  }

 private:
  int master_ = -1;
  int slave_ = -1;
  std::string slavePath_;
  pid_t pid_ = -1;
};

struct UploadCase {
  const char* label;
  std::vector<std::string> args;
  std::string heading;  // the whole heading block
  std::vector<std::string> blocks;
};

class TermsimUpload : public ::testing::TestWithParam<UploadCase> {};

// The terminal's blocks, byte for byte, against a PC that acknowledges everything.
TEST_P(TermsimUpload, SendsExactBlocks) {
  const UploadCase& c = GetParam();
  std::string file = TempPath("up.txt");
  std::ofstream(file, std::ios::binary) << "12\r\nhello world long line\nx";

  PcSide pc;
  ASSERT_TRUE(pc.ok());
  std::vector<std::string> args = c.args;
  args.insert(args.begin(), "upload");
  args.insert(args.end(), {"--file", file});
  pc.Start(args);

  EXPECT_EQ(pc.Read(1), std::string(1, ENQ));
  pc.Send(std::string(1, ACK));
  EXPECT_EQ(pc.Read(c.heading.size()), c.heading);
  pc.Send(std::string(1, ACK));
  for (const auto& b : c.blocks) {
    EXPECT_EQ(pc.Read(b.size()), b);
    pc.Send(std::string(1, ACK));
  }
  EXPECT_EQ(pc.Read(1), std::string(1, EOT));
  pc.Send(std::string(1, ACK));
  EXPECT_EQ(pc.Finish(), 0);
  ::unlink(file.c_str());
}

INSTANTIATE_TEST_SUITE_P(
    Layouts, TermsimUpload,
    ::testing::Values(
        // A known check byte: SALES.DAT, three records, fields 5 and 10 gives 21h.
        UploadCase{"DataFile",
                   {"--name", "SALES.DAT", "--fields", "5,10"},
                   std::string(1, SOH) + "SALES.DAT   00003020510" + ETX + '\x21',
                   {Block(STX, "0000112             "), Block(STX, "00002hello world lon"),
                    Block(STX, "00003x              ")}},
        UploadCase{
            "NoCheckNoSerial",
            {"--name", "ORDERS.BHT", "--fields", "4", "--no-bcc", "--no-serial"},
            std::string(1, SOH) + "ORDERS.BHT  00003" + "0104" + ETX,
            {Block(STX, "12  ", false), Block(STX, "hell", false), Block(STX, "x   ", false)}},
        UploadCase{"ProgramPaddedWithZeros",
                   {"--name", "MAIN.PD3", "--fields", "3"},
                   Block(SOH, "MAIN.PD3    00003"),
                   {Block(STX, "00001" + std::string("12") + std::string(126, '0')),
                    Block(STX, "00002hello world long line" + std::string(107, '0')),
                    Block(STX, "00003x" + std::string(127, '0'))}}),
    [](const auto& info) { return std::string(info.param.label); });

// A NAK or three seconds of silence bring the same block again; the PC's EOT ends the upload
// as failed.
TEST(TermsimUploadFaults, ResendsOnNakAndStopsOnEot) {
  PcSide pc;
  ASSERT_TRUE(pc.ok());
  pc.Start({"upload", "--records", "2", "--fields", "3,2", "--drop-bcc", "1"});
  EXPECT_EQ(pc.Read(1), std::string(1, ENQ));
  pc.Send(std::string(1, ACK));
  std::string heading = Block(SOH, "ORDERS.BHT  00002020302");
  EXPECT_EQ(pc.Read(heading.size()), heading);
  pc.Send(std::string(1, ACK));
  std::string block1 = Block(STX, "000011.11.");
  EXPECT_EQ(pc.Read(block1.size() - 1), block1.substr(0, block1.size() - 1));  // check dropped
  pc.Send(std::string(1, NAK));
  EXPECT_EQ(pc.Read(block1.size()), block1);
  pc.Send(std::string(1, ACK));
  std::string block2 = Block(STX, "000022.12.");
  EXPECT_EQ(pc.Read(block2.size()), block2);
  pc.Send(std::string(1, EOT));
  EXPECT_EQ(pc.Finish(), 1);
}

// The PC sends a file; the terminal checks each block. Faults and damaged blocks in one
// dialogue: the first sending of block 1 is refused on purpose, a wrong check byte and a wrong
// serial are refused, a repeat of the previous block is acknowledged and not kept.
TEST(TermsimDownload, ChecksBlocksAndSavesRecords) {
  std::string save = TempPath("records.txt");
  std::string head = TempPath("heading.txt");
  PcSide pc;
  ASSERT_TRUE(pc.ok());
  pc.Start({"download", "--save", save, "--save-heading", head, "--nak-block", "1:1"});

  // Record bytes travel unchanged, the pound sign of Latin-1 included.
  const std::string record1 = std::string("AB") + '\xA3' + "CDEF";
  std::string block1 = Block(STX, "00001" + record1);
  std::string badCheck = block1;
  badCheck.back() ^= 0x40;
  struct Step {
    std::string send;
    char answer;
  };
  const Step steps[] = {
      {std::string(1, ENQ), ACK},
      {Block(SOH, "ORDERS.BHT  00002020304"), ACK},
      {block1, NAK},  // refused on purpose
      {badCheck, NAK},
      {block1, ACK},
      {block1, ACK},  // repeat of the previous block
      {Block(STX, "00003xxxxxxx"), NAK},
      {Block(STX, "00002fghijkl"), ACK},
      {std::string(1, EOT), ACK},
  };
  for (const auto& s : steps) {
    pc.Send(s.send);
    EXPECT_EQ(pc.Read(1), std::string(1, s.answer)) << "after " << s.send;
  }
  EXPECT_EQ(pc.Finish(), 0);
  EXPECT_EQ(Slurp(save), record1 + "\r\nfghijkl\r\n");
  EXPECT_EQ(Slurp(head), "name=ORDERS.BHT records=2 fields=3,4 length=7\n");
  ::unlink(save.c_str());
  ::unlink(head.c_str());
}

// Headings the terminal must refuse with NAK before it takes a good one.
TEST(TermsimDownload, RefusesBadHeadings) {
  PcSide pc;
  ASSERT_TRUE(pc.ok());
  pc.Start({"download", "--eot-at", "1"});
  pc.Send(std::string(1, ENQ));
  EXPECT_EQ(pc.Read(1), std::string(1, ACK));
  const std::string bad[] = {
      Block(SOH, "ORDERS.BHT  0000102030"),  // one character short of two fields
      Block(SOH, "ORDERS.BHT  000011703"),   // 17 fields
      Block(SOH, "ORDERS.BHT  000010100"),   // field of length 0
      Block(SOH, "MAIN.PD3    0000101"),     // program heading with a field part
      Block(SOH, "ORDERS.BHT  0000x0103"),   // count not a number
  };
  for (const auto& h : bad) {
    pc.Send(h);
    EXPECT_EQ(pc.Read(1), std::string(1, NAK)) << h;
  }
  pc.Send(Block(SOH, "ORDERS.BHT  000010103"));
  EXPECT_EQ(pc.Read(1), std::string(1, ACK));
  pc.Send(Block(STX, "00001abc"));
  EXPECT_EQ(pc.Read(1), std::string(1, EOT));  // --eot-at 1
  pc.Send(std::string(1, EOT));
  EXPECT_EQ(pc.Read(1), std::string(1, ACK));
  EXPECT_EQ(pc.Finish(), 1);
}

}  // namespace
