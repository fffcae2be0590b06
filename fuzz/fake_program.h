#pragma once

// A program on faked services for the targets that run one procedure: a virtual clock, a
// scripted port, a window that answers by itself and a system whose disk is a real directory.

#include <cstdint>
#include <string>

#include "base/program.h"
#include "base/system.h"
#include "harness.h"
#include "support/fakes.h"

namespace telvaro3::fuzz {

struct FakeProgram {
  explicit FakeProgram(const std::string& dir) : system(clock, dir) {}
  test::VirtualClock clock;
  test::FakeComm comm{clock};
  test::FakeWindow window{clock};
  test::FakeSystem system;
  Program p{comm, window, system};
};

// Runs one procedure as the run would: a run-time error ends it with its code. Whatever the
// input, the code is one the result line knows and no file is left open.
template <typename Procedure>
int16_t RunChecked(Program& p, Procedure procedure) {
  int16_t code;
  try {
    code = procedure(p);
  } catch (const RunTimeError& e) {
    code = MapRunTimeError(e.Number());
  }
  Check(KnownCode(code), "unknown result code", code);
  for (const auto& f : p.files) Check(!f, "a file slot was left open");
  return code;
}

}  // namespace telvaro3::fuzz
