#pragma once

#include <cstdint>
#include <string>

namespace telvaro3 {

struct Program;

// One transfer as it is told to whoever runs the program unattended (a service manager, its log).
struct TransferFacts {
  bool send = false;       // PC to terminal; false: terminal to PC
  std::string file;        // the file's name; empty when the run ended before one was known
  int16_t port = 0;        // the port number, 1 to 20
  int16_t result = 0;      // the result code (at the end)
  int32_t records = 0;     // records carried by the block protocol; 0 by YModem
  int64_t bytes = 0;       // the bytes of what was carried, as the PC file holds them
  double seconds = 0.0;    // from the start of the transfer to its end
  std::string resultLine;  // the result as the window shows it ("Err(0) Transfer Complete")
  // One readable line: "received ORDERS.BHT: 12 records, 504 bytes in 1.3 s: Err(0) Transfer
  // Complete". Filled at the end.
  std::string summary;
};

// What the program tells the system that runs it: that it is ready and alive, and each
// transfer's start and end. The program works the same without one (Program::service empty).
class ServiceReport {
 public:
  virtual ~ServiceReport() = default;
  // The port has been opened: the program is ready for work. Called for every opening.
  virtual void PortOpened() = 0;
  // Called from every wait, many times a second: the program still answers. Must be cheap; the
  // implementation decides how often it passes that on.
  virtual void StillAlive() = 0;
  // The link with the terminal has been made: a transfer has started.
  virtual void TransferStarted(const TransferFacts& facts) = 0;
  // A transfer, or a run that ended before one could start, has ended.
  virtual void TransferEnded(const TransferFacts& facts) = 0;
};

// The facts of the transfer under way: direction, file, port, records and bytes so far.
TransferFacts FactsOf(const Program& p);
// Called from the waits: passes on that the program is alive, and tells the start of the
// transfer once the link of the round under way has been made.
void ServiceHeartbeat(Program& p);
// Tells the start now if the round's link was made and it has not been told yet.
void TellStartIfMade(Program& p);

}  // namespace telvaro3
