// Drives the device link, the command functions and the programming run against a fake device
// whose interfaces, identity, report lengths, input reports (content, length, timing) and read
// statuses all come from the fuzzer. Checks that nothing crashes or hangs, that every reply the
// link hands over is a byte the device really sent in byte 1 of a report, and that a reply the
// reader has handed over while a run waits is never lost.
//
// The input format is in fuzz/reply_path_input.hpp.
#include <algorithm>
#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "device/commands.hpp"
#include "device/device_link.hpp"
#include "device/flags.hpp"
#include "device/programming_run.hpp"
#include "device/results.hpp"
#include "firmware/firmware_image.hpp"
#include "firmware/product_ids.hpp"
#include "fuzz/reply_path_input.hpp"
#include "platform/pause.hpp"
#include "platform/platform.hpp"

namespace {

using namespace kavori;
using namespace kavori::fuzz;
using Clock = std::chrono::steady_clock;
using platform::ReadResult;
using platform::ReadStatus;

// The bounds a wait may take beyond its own time-out before it counts as a hang. Generous: the
// fuzzer shares a loaded machine, and a real hang is caught by libFuzzer's -timeout as well.
constexpr auto kSlack = std::chrono::milliseconds(1000);

void Check(bool condition, const char* what) {
  if (condition) return;
  std::fprintf(stderr, "invariant broken: %s\n", what);
  std::abort();
}

struct ScriptedRead {
  ReadKind kind = ReadKind::Report;
  unsigned delayUs = 0;
  std::vector<std::uint8_t> report;  // report id first, as the interface normalises it
};

struct InterfaceConfig {
  std::uint8_t openFailures = 0;  // bit k: the (k mod 8)th open of this path fails
  bool attributesFail = false;
  platform::HidAttributes attributes;
  bool lengthsFail = false;
  platform::HidReportLengths lengths;
  bool writesFail = false;
  std::vector<std::uint8_t> serial;   // raw bytes the string query writes
  std::vector<std::uint8_t> product;  // likewise
  bool stringsFail = false;
};

class FakeHandle;

// The one fake device world; shared by the fake backend, lock and handles, reset per input.
// Everything behind one mutex, as reads, writes and queries come from two threads.
class FakeWorld {
 public:
  void Reset(std::vector<InterfaceConfig> interfaces, std::deque<ScriptedRead> reads,
             platform::LockResult lockResult) {
    std::lock_guard lock(mutex_);
    Check(openHandles_ == 0, "no handle outlives the input that opened it");
    interfaces_ = std::move(interfaces);
    opens_.assign(interfaces_.size(), 0);
    reads_ = std::move(reads);
    lockResult_ = lockResult;
    lockHeld_ = false;
    writes_ = 0;
    writesAtLastReport_ = 0;
    sequence_ = 0;
    latestStored_ = 0;
    sentCodes_.clear();
    codeWithoutRoom_ = false;
  }

  // A point in the order of events, for comparing what the harness did with what the device
  // did.
  std::uint64_t Stamp() {
    std::lock_guard lock(mutex_);
    return ++sequence_;
  }
  // The stamp of the newest report the reader has certainly handed over: it called Read again.
  std::uint64_t LatestStored() {
    std::lock_guard lock(mutex_);
    return latestStored_;
  }
  // Whether `code` may come out of WaitReply: byte 1 of a report the device sent, or the cleared
  // byte 1 of the reader's buffer after a report too short to reach it.
  bool Sent(unsigned code) {
    std::lock_guard lock(mutex_);
    return sentCodes_.count(code) != 0 || (code == 0 && codeWithoutRoom_);
  }
  std::uint64_t Writes() {
    std::lock_guard lock(mutex_);
    return writes_;
  }
  bool LockHeld() {
    std::lock_guard lock(mutex_);
    return lockHeld_;
  }
  int OpenHandles() {
    std::lock_guard lock(mutex_);
    return openHandles_;
  }

  std::vector<std::string> Enumerate() {
    std::lock_guard lock(mutex_);
    std::vector<std::string> paths;
    for (std::size_t i = 0; i < interfaces_.size(); ++i)
      paths.push_back("fake:" + std::to_string(i));
    return paths;
  }

  std::unique_ptr<platform::HidHandle> Open(const std::string& path);

  platform::LockResult Acquire() {
    std::lock_guard lock(mutex_);
    if (lockHeld_) return platform::LockResult::InUse;
    if (lockResult_ == platform::LockResult::Acquired) lockHeld_ = true;
    return lockResult_;
  }
  void Release() {
    std::lock_guard lock(mutex_);
    lockHeld_ = false;
  }

  bool Attributes(std::size_t index, platform::HidAttributes& out) {
    std::lock_guard lock(mutex_);
    if (interfaces_[index].attributesFail) return false;
    out = interfaces_[index].attributes;
    return true;
  }
  bool String(std::size_t index, bool serial, std::uint8_t* field, std::size_t length) {
    std::lock_guard lock(mutex_);
    Check(field != nullptr && length <= platform::kHidStringQueryBytes, "string query bounds");
    const InterfaceConfig& config = interfaces_[index];
    if (config.stringsFail) return false;
    const std::vector<std::uint8_t>& bytes = serial ? config.serial : config.product;
    std::copy_n(bytes.begin(), std::min(bytes.size(), length), field);
    return true;
  }
  bool Lengths(std::size_t index, platform::HidReportLengths& out) {
    std::lock_guard lock(mutex_);
    if (interfaces_[index].lengthsFail) return false;
    out = interfaces_[index].lengths;
    return true;
  }

  bool Write(std::size_t index, const std::uint8_t* report, std::size_t length) {
    Check(report != nullptr, "an output report is never null");
    Check(length <= platform::kReportBufferSize, "an output report fits the 65-byte buffer");
    std::lock_guard lock(mutex_);
    // As the real backend: an empty report is no report.
    if (length == 0 || interfaces_[index].writesFail) return false;
    ++writes_;
    changed_.notify_all();
    return true;
  }

  ReadResult Read(FakeHandle& handle, std::uint8_t* buffer, std::size_t length, int timeoutMs);
  void Closed(const FakeHandle& handle);

 private:
  std::mutex mutex_;
  std::condition_variable changed_;  // a command was written
  std::vector<InterfaceConfig> interfaces_;
  std::vector<unsigned> opens_;
  std::deque<ScriptedRead> reads_;
  platform::LockResult lockResult_ = platform::LockResult::Acquired;
  bool lockHeld_ = false;
  std::uint64_t writes_ = 0;
  std::uint64_t writesAtLastReport_ = 0;
  std::uint64_t sequence_ = 0;
  std::uint64_t latestStored_ = 0;
  std::set<unsigned> sentCodes_;
  bool codeWithoutRoom_ = false;
  int openHandles_ = 0;
};

class FakeHandle final : public platform::HidHandle {
 public:
  FakeHandle(FakeWorld& world, std::size_t index) : world_(world), index_(index) {}
  ~FakeHandle() override { world_.Closed(*this); }

  bool GetAttributes(platform::HidAttributes& out) override {
    return world_.Attributes(index_, out);
  }
  bool GetSerialNumberString(std::uint8_t* field, std::size_t length) override {
    return world_.String(index_, true, field, length);
  }
  bool GetProductString(std::uint8_t* field, std::size_t length) override {
    return world_.String(index_, false, field, length);
  }
  bool GetReportLengths(platform::HidReportLengths& out) override {
    return world_.Lengths(index_, out);
  }
  bool Write(const std::uint8_t* report, std::size_t length) override {
    return world_.Write(index_, report, length);
  }
  ReadResult Read(std::uint8_t* buffer, std::size_t length, int timeoutMs) override {
    return world_.Read(*this, buffer, length, timeoutMs);
  }

  // Guarded by the world's mutex.
  bool inRead = false;
  bool gone = false;
  std::optional<std::uint64_t> unconfirmedReport;  // stamp of the report last read, if any

 private:
  FakeWorld& world_;
  const std::size_t index_;
};

std::unique_ptr<platform::HidHandle> FakeWorld::Open(const std::string& path) {
  std::lock_guard lock(mutex_);
  const std::size_t index = std::stoul(path.substr(path.find(':') + 1));
  Check(index < interfaces_.size(), "only listed paths are opened");
  const unsigned ordinal = opens_[index]++;
  if ((interfaces_[index].openFailures >> (ordinal % 8)) & 1) return nullptr;
  ++openHandles_;
  return std::make_unique<FakeHandle>(*this, index);
}

void FakeWorld::Closed(const FakeHandle& handle) {
  std::lock_guard lock(mutex_);
  Check(!handle.inRead, "a handle is never destroyed while a read runs on it");
  --openHandles_;
}

ReadResult FakeWorld::Read(FakeHandle& handle, std::uint8_t* buffer, std::size_t length,
                           int timeoutMs) {
  Check(buffer != nullptr, "reads into a buffer");
  Check(length <= platform::kReportBufferSize, "reads at most 65 bytes into the 65-byte buffer");
  std::unique_lock lock(mutex_);
  Check(!handle.inRead, "a handle is used by one thread at a time");
  // The reader stores each reply before it reads again.
  if (handle.unconfirmedReport) latestStored_ = *handle.unconfirmedReport;
  handle.unconfirmedReport.reset();
  if (handle.gone) return {ReadStatus::Gone, 0};
  // As the real backend: nothing can be read into no room.
  if (length == 0) return {ReadStatus::Error, 0};

  handle.inRead = true;
  const auto deadline = Clock::now() + std::chrono::milliseconds(std::max(timeoutMs, 0));
  auto finish = [&](ReadResult result) {
    handle.inRead = false;
    return result;
  };
  if (reads_.empty()) {
    // The script is over: a quiet device. Shortly, so that the reader's polls stay cheap.
    changed_.wait_until(lock, std::min(deadline, Clock::now() + std::chrono::milliseconds(1)));
    return finish({ReadStatus::Timeout, 0});
  }
  ScriptedRead& next = reads_.front();
  if (next.kind == ReadKind::ReportAfterWrite) {
    if (!changed_.wait_until(lock, deadline, [&] { return writes_ > writesAtLastReport_; }))
      return finish({ReadStatus::Timeout, 0});
  }
  if (next.delayUs != 0) {
    const auto start = Clock::now();
    const auto due = start + std::chrono::microseconds(next.delayUs);
    while (Clock::now() < std::min(due, deadline))
      changed_.wait_until(lock, std::min(due, deadline));
    if (Clock::now() < due) {
      const auto waited =
          std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - start).count();
      next.delayUs -= static_cast<unsigned>(std::min<long long>(waited, next.delayUs));
      return finish({ReadStatus::Timeout, 0});
    }
    next.delayUs = 0;
  }
  const ScriptedRead read = std::move(next);
  reads_.pop_front();
  switch (read.kind) {
    case ReadKind::Timeout:
      return finish({ReadStatus::Timeout, 0});
    case ReadKind::Gone:
      handle.gone = true;
      return finish({ReadStatus::Gone, 0});
    case ReadKind::Error:
      return finish({ReadStatus::Error, 0});
    case ReadKind::Report:
    case ReadKind::ReportAfterWrite:
    case ReadKind::Count:
      break;
  }
  // A report shorter than the input length reads as zeros after what the device sent.
  const std::size_t stored = std::min(read.report.size(), length);
  std::copy_n(read.report.begin(), stored, buffer);
  std::fill(buffer + stored, buffer + length, std::uint8_t{0});
  if (length >= 2)
    sentCodes_.insert(buffer[1]);
  else
    codeWithoutRoom_ = true;
  writesAtLastReport_ = writes_;
  handle.unconfirmedReport = ++sequence_;
  return finish({ReadStatus::Data, length});
}

class FakeBackend final : public platform::HidBackend {
 public:
  explicit FakeBackend(FakeWorld& world) : world_(world) {}
  std::vector<std::string> EnumerateInterfaces() override { return world_.Enumerate(); }
  std::unique_ptr<platform::HidHandle> Open(const std::string& path) override {
    return world_.Open(path);
  }

 private:
  FakeWorld& world_;
};

class FakeLock final : public platform::InUseLock {
 public:
  explicit FakeLock(FakeWorld& world) : world_(world) {}
  platform::LockResult Acquire() override { return world_.Acquire(); }
  void Release() override { world_.Release(); }

 private:
  FakeWorld& world_;
};

class FakeInstances final : public platform::DeviceInstanceList {
 public:
  std::optional<std::vector<std::string>> Read() override { return std::nullopt; }
};

struct Fakes {
  FakeWorld world;
  FakeBackend backend{world};
  FakeLock lock{world};
  FakeInstances instances;
  platform::DiagnosticsLog diagnostics;
};

Fakes& TheFakes() {
  static Fakes fakes;
  return fakes;
}

class CountingRun : public device::RunObserver {
 public:
  void RunStatus(const std::string&) override {}
  void RunProgress(int percent, const std::string&) override {
    Check(percent >= 1 && percent <= 100, "progress within 1..100");
  }
  void RunFinished() override { ++finished; }
  int finished = 0;
};

std::uint16_t ProductIdFrom(InputReader& input) {
  switch (static_cast<ProductIdKind>(input.Upto(2, false))) {
    case ProductIdKind::Normal:
      return firmware::kNormalModeProductIds[input.U8() % firmware::kNormalModeProductIds.size()];
    case ProductIdKind::Loader:
      return firmware::kLoaderModeProductIds[input.U8() % firmware::kLoaderModeProductIds.size()];
    case ProductIdKind::Raw:
      break;
  }
  return input.U16();
}

InterfaceConfig InterfaceFrom(InputReader& input) {
  InterfaceConfig config;
  const std::uint8_t faults = input.U8();
  config.attributesFail = (faults & 0x7) == kAttributesFail;
  config.lengthsFail = (faults & 0x7) == kLengthsFail;
  config.writesFail = (faults & 0x7) == kWritesFail;
  config.stringsFail = (faults & 0x7) == kStringsFail;
  if ((faults & 0x38) == kOpenFailuresFollow) config.openFailures = input.U8();
  config.attributes.vendorId =
      (faults & kVendorFollows) == kVendorFollows ? input.U16() : firmware::kVendorId;
  config.attributes.productId = ProductIdFrom(input);
  config.attributes.releaseNumber = input.U16();
  config.lengths.input = static_cast<std::uint16_t>(input.Upto(kMaxClaimedLength, true));
  config.lengths.output = static_cast<std::uint16_t>(input.Upto(kMaxClaimedLength, true));
  config.serial = input.Bytes(input.U8());
  config.product = input.Bytes(input.U8());
  return config;
}

ScriptedRead ReadFrom(InputReader& input) {
  ScriptedRead read;
  read.kind = static_cast<ReadKind>(input.U8() % static_cast<unsigned>(ReadKind::Count));
  read.delayUs = input.Upto(kMaxDelayUs, true);
  if (read.kind == ReadKind::Report || read.kind == ReadKind::ReportAfterWrite)
    read.report = input.Bytes(input.Upto(kMaxReportLength, false));
  return read;
}

// The harness's view of the reply event, to know when a reply must not be lost.
struct EventView {
  bool exists = false;
  std::uint64_t createdAt = 0;  // stamp taken just after Create
  std::uint64_t takenAt = 0;    // stamp taken just after the last call that may take a reply
};

double Elapsed(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

void LoadImage(InputReader& input) {
  const std::size_t size = input.Upto(kMaxImageSize, true);
  firmware::FirmwareImage.bytes = std::make_unique<std::uint8_t[]>(size == 0 ? 1 : size);
  firmware::FirmwareImage.size = static_cast<std::uint32_t>(size);
}

// A reply-taking call's result, checked.
void CheckReply(unsigned code, FakeWorld& world) {
  Check(code <= 0xFF, "a reply is one byte");
  Check(code == device::ReplyNone || world.Sent(code),
        "a reply is a byte the device sent in byte 1 of a report");
}

void DoAction(Action action, InputReader& input, FakeWorld& world, EventView& event) {
  const auto timeout = std::chrono::milliseconds(device::ReplyTimeoutMs.load());
  const auto start = Clock::now();
  switch (action) {
    case Action::Open: {
      const bool wasOpen = device::IsDeviceLinkOpen();
      const int r = device::OpenDeviceLink();
      Check(r == device::kOk || r == device::kDeviceInUse || r == device::kNoDevice ||
                r == device::kDeviceRefused,
            "OpenDeviceLink returns a documented code");
      if (wasOpen) {
        Check(r == device::kDeviceInUse, "a second open finds the lock taken");
      } else if (r == device::kOk) {
        Check(device::IsDeviceLinkOpen() && world.LockHeld(), "an open link holds the lock");
        Check(world.OpenHandles() == 2, "an open link holds two handles");
        Check(device::InputReportLength() <= platform::kReportBufferSize &&
                  device::OutputReportLength() <= platform::kReportBufferSize,
              "report lengths within the 65-byte buffers");
        Check(std::memchr(device::DeviceInfo.SerialString.data(), 0, 256) != nullptr &&
                  std::memchr(device::DeviceInfo.ProductString.data(), 0, 256) != nullptr,
              "device strings are terminated");
      } else {
        Check(!device::IsDeviceLinkOpen() && !world.LockHeld() && world.OpenHandles() == 0,
              "a failed open holds nothing");
      }
      break;
    }
    case Action::Close:
      Check(device::CloseDeviceLink() == device::kOk, "CloseDeviceLink returns 0");
      Check(Elapsed(start) < static_cast<double>(kSlack.count()),
            "CloseDeviceLink returns promptly");
      Check(!device::IsDeviceLinkOpen() && !world.LockHeld() && world.OpenHandles() == 0,
            "a closed link holds nothing");
      break;
    case Action::CreateEvent:
      device::ReplyEvent.Create();
      event.exists = true;
      event.createdAt = world.Stamp();
      break;
    case Action::CloseEvent:
      device::ReplyEvent.Close();
      event.exists = false;
      break;
    case Action::Enter:
      Check(device::SendEnterProgramming() == device::kOk, "enter returns 0");
      break;
    case Action::Restart:
      Check(device::SendRestart() == device::kOk, "restart returns 0");
      break;
    case Action::Prepare: {
      const std::uint64_t before = world.Writes();
      const int r = device::SendPrepare();
      Check((r == device::kOk) == (world.Writes() > before),
            "prepare returns 0 exactly when the device got it");
      Check(r == device::kOk || r == device::kNotWritten, "prepare returns 0 or -3");
      break;
    }
    case Action::Burn:
    case Action::Verify: {
      const int r = action == Action::Burn ? device::SendBurnFlash() : device::SendVerify();
      event.takenAt = world.Stamp();
      Check(r == device::kOk || r == device::kNotAcknowledged, "burn/verify return 0 or -2");
      Check(r != device::kOk || world.Sent(device::ReplyAck), "an acknowledgement was sent");
      Check(Elapsed(start) < static_cast<double>((timeout + kSlack).count()),
            "burn/verify wait at most the reply time-out");
      break;
    }
    case Action::Wait: {
      const std::uint64_t stored = world.LatestStored();
      const bool mustHaveReply = event.exists && stored > std::max(event.createdAt, event.takenAt);
      const unsigned code = device::WaitReply();
      event.takenAt = world.Stamp();
      CheckReply(code, world);
      Check(!mustHaveReply || code != device::ReplyNone,
            "a reply the reader handed over while the event existed is not lost");
      Check(Elapsed(start) < static_cast<double>((timeout + kSlack).count()),
            "WaitReply waits at most the reply time-out");
      break;
    }
    case Action::Download: {
      LoadImage(input);
      CountingRun observer;
      const int r = device::DownloadImage(observer);
      event.takenAt = world.Stamp();
      Check(r == device::kOk || r == device::kNotAcknowledged, "download returns 0 or -2");
      Check(r != device::kOk || firmware::FirmwareImage.size == 0 || world.Sent(device::ReplyAck),
            "a downloaded block was acknowledged");
      firmware::UnloadFirmwareFile();
      break;
    }
    case Action::Run: {
      LoadImage(input);
      CountingRun observer;
      device::ProgrammingRun(observer);
      event.exists = false;
      event.takenAt = world.Stamp();
      Check(observer.finished == 1, "a run finishes once");
      Check(!device::ProgrammingActive, "a finished run is no longer active");
      Check(!device::IsDeviceLinkOpen() && !world.LockHeld() && world.OpenHandles() == 0,
            "a finished run holds nothing");
      Check(firmware::FirmwareImage.bytes == nullptr, "a finished run released the image");
      break;
    }
    case Action::Sleep:
      std::this_thread::sleep_for(std::chrono::microseconds(input.Upto(kMaxDelayUs, true)));
      break;
    case Action::SetTimeout:
      device::ReplyTimeoutMs = static_cast<std::uint16_t>(input.Upto(kMaxReplyTimeoutMs, false));
      break;
    case Action::ToggleWatching:
      device::WatchingReconnect = !device::WatchingReconnect;
      break;
    case Action::Count:
      break;
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // The run's fixed pauses (10 and 2500 ms, 1 ms per percent) shrink to microseconds.
  platform::SetPauseScaleForTests(0.001);
  Fakes& fakes = TheFakes();
  Check(device::UsePlatform({&fakes.backend, &fakes.lock, &fakes.instances, &fakes.diagnostics}),
        "the fake platform installs");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  InputReader input({data, size});
  Fakes& fakes = TheFakes();

  std::vector<InterfaceConfig> interfaces(1 + input.Upto(kMaxInterfaces - 1, false));
  for (InterfaceConfig& config : interfaces) config = InterfaceFrom(input);
  const std::uint8_t lockByte = input.U8();
  const platform::LockResult lockResult = lockByte == 1   ? platform::LockResult::InUse
                                          : lockByte == 2 ? platform::LockResult::Failed
                                                          : platform::LockResult::Acquired;
  std::deque<ScriptedRead> reads(input.Upto(kMaxReads, false));
  for (ScriptedRead& read : reads) read = ReadFrom(input);

  device::ResetDeviceLinkForTests();
  device::ResetFlagsForTests();
  device::ReplyEvent.Close();
  device::ReplyTimeoutMs = 2;
  fakes.world.Reset(std::move(interfaces), std::move(reads), lockResult);

  EventView event;
  for (std::size_t i = 0; i < kMaxActions && !input.AtEnd(); ++i) {
    const auto action = static_cast<Action>(input.U8() % static_cast<unsigned>(Action::Count));
    DoAction(action, input, fakes.world, event);
  }

  device::ReplyEvent.Close();
  device::CloseDeviceLink();
  firmware::UnloadFirmwareFile();
  fakes.diagnostics.Take();
  Check(!fakes.world.LockHeld() && fakes.world.OpenHandles() == 0, "nothing left open");
  return 0;
}
