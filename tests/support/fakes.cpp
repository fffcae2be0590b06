#include "support/fakes.h"

#include <algorithm>

namespace telvaro3::test {

// ---- FakeComm ----

void FakeComm::SetPortIsOpen(bool open) {
  writes.push_back(std::string("PortIsOpen=") + (open ? "1" : "0"));
  if (open && onOpen) onOpen();
  if (open && openError != 0) throw RunTimeError(openError, RunTimeErrorText(openError));
  if (open && openRefused) return;
  open_ = open;
  if (!open) input_.clear();
}

int32_t FakeComm::InputCount() {
  size_t n = 0;
  for (auto in = input_.begin(); in != input_.end() && in->at <= clock_.now; ++in)
    n += in->bytes.size();
  return static_cast<int32_t>(n);
}

std::string FakeComm::InputData() {
  std::string r;
  while (!input_.empty() && input_.front().at <= clock_.now) {
    r += input_.front().bytes;
    input_.pop_front();
  }
  return r;
}

void FakeComm::Reply(const std::string& bytes, double delaySeconds) {
  if (bytes.empty()) return;  // nothing arrives
  double at = clock_.now + delaySeconds;
  // Input keeps its order of arrival.
  if (!input_.empty() && input_.back().at > at) at = input_.back().at;
  input_.push_back(Pending{at, bytes});
}

void FakeComm::OutputData(const std::string& data) {
  sent += data;
  event_ = portFault != 0 ? portFault : nextEvent;
  drainedAt_ = std::max(drainedAt_, clock_.now) + static_cast<double>(data.size()) * secondsPerByte;
  if (onOutput) onOutput(data);
}

void FakeComm::WaitInput(int maxMs) {
  // Jump to the next arrival when it comes sooner than the cap.
  double until = clock_.now + maxMs / 1000.0;
  for (const auto& in : input_) {
    if (in.at <= clock_.now) continue;
    if (in.at < until) until = in.at;
    break;
  }
  // Like the real port, the wait also ends when queued output leaves.
  if (drainedAt_ > clock_.now && drainedAt_ < until) until = drainedAt_;
  clock_.now = until;
  if (onIdle) onIdle();
}

// ---- FakeWindow ----

void FakeWindow::Tick() {
  while (timerEnabled && clock_.now >= nextTick_) {
    nextTick_ += 3.0;
    if (onTimer_) onTimer_();
  }
}

void FakeWindow::DoEvents() {
  ++doEventsCalls;
  if (cancelAt >= 0 && clock_.now >= cancelAt) {
    cancelAt = -1;
    PressCancel();
  }
  Tick();
  if (onEvents) onEvents();
}

// ---- FakeSystem ----

namespace {
// A file whose writes start failing after a number of lines, as on a full disk.
class FailingFile : public TextFile {
 public:
  FailingFile(std::unique_ptr<TextFile> f, int goodLines) : f_(std::move(f)), left_(goodLines) {}
  bool ReadLine(std::string& line) override { return f_->ReadLine(line); }
  void WriteLine(const std::string& line) override {
    if (left_-- <= 0) throw RunTimeError(61, RunTimeErrorText(61));
    f_->WriteLine(line);
  }
  void Commit() override { f_->Commit(); }
  void Close() override { f_->Close(); }
  TextFile* Inner() { return f_.get(); }

 private:
  std::unique_ptr<TextFile> f_;
  int left_;
};
}  // namespace

std::unique_ptr<TextFile> FakeSystem::OpenText(const std::string& path, FileMode mode) {
  auto f = PosixSystem::OpenText(DrivePath(path), mode);
  if (failWritesAfter < 0 || mode == FileMode::Input) return f;
  return std::make_unique<FailingFile>(std::move(f), failWritesAfter);
}
void FakeSystem::CommitTogether(const std::vector<TextFile*>& files) {
  std::vector<TextFile*> inner;
  for (TextFile* f : files) {
    auto* failing = dynamic_cast<FailingFile*>(f);
    inner.push_back(failing != nullptr ? failing->Inner() : f);
  }
  PosixSystem::CommitTogether(inner);
}

int16_t RunTimeErrorOf(const std::function<void()>& action) {
  try {
    action();
  } catch (const RunTimeError& e) {
    return e.Number();
  }
  return 0;
}

}  // namespace telvaro3::test
