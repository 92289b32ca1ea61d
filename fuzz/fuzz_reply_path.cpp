// Drives a device link, the command functions and a programming run, built afresh for each input,
// against a fake device whose interfaces, identity, report lengths, input reports (content,
// length, timing) and read statuses all come from the fuzzer. Checks that nothing crashes or
// hangs, that every reply handed over is a byte the device really sent in byte 1 of a report, that
// a wait returns the latest report it read and nothing it did not read, and that closing the link
// while the run's thread waits for a reply returns promptly and leaves nothing held.
//
// The input format is in fuzz/reply_path_input.hpp.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "device/commands.hpp"
#include "device/device_link.hpp"
#include "device/programming_run.hpp"
#include "device/results.hpp"
#include "firmware/firmware_image.hpp"
#include "firmware/product_ids.hpp"
#include "fuzz/reply_path_input.hpp"
#include "platform/file.hpp"
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
// The run's fixed pauses (10 and 2500 ms, 1 ms per percent) shrink to microseconds.
constexpr double kPauseScale = 0.001;

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

// The fake device world of one input, shared by the fake backend, lock and handles. Everything
// behind one mutex, as reads, writes and queries come from the harness and the run's thread.
class FakeWorld {
 public:
  FakeWorld(std::vector<InterfaceConfig> interfaces, std::deque<ScriptedRead> reads,
            platform::LockResult lockResult)
      : interfaces_(std::move(interfaces)),
        opens_(interfaces_.size(), 0),
        reads_(std::move(reads)),
        lockResult_(lockResult) {}
  ~FakeWorld() { Check(openHandles_ == 0, "no handle outlives the input that opened it"); }

  // Reports handed to the link so far, the code the link's buffer holds after the latest, and
  // the acknowledgements among them.
  std::uint64_t Delivered() {
    std::lock_guard lock(mutex_);
    return delivered_;
  }
  unsigned LastCode() {
    std::lock_guard lock(mutex_);
    return lastCode_;
  }
  std::uint64_t Acknowledgements() {
    std::lock_guard lock(mutex_);
    return acknowledgements_;
  }
  // Whether `code` may come out of WaitReply: byte 1 of a report the device sent, or the cleared
  // byte 1 of the link's buffer after a report too short to reach it.
  bool Sent(unsigned code) {
    std::lock_guard lock(mutex_);
    return sentCodes_.count(code) != 0;
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
  platform::LockResult lockResult_;
  bool lockHeld_ = false;
  std::uint64_t writes_ = 0;
  std::uint64_t writesAtLastReport_ = 0;
  std::uint64_t delivered_ = 0;
  unsigned lastCode_ = 0;
  std::uint64_t acknowledgements_ = 0;
  std::set<unsigned> sentCodes_;
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
    // The script is over: a quiet device. Shortly, so that waits on it stay cheap.
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
  // With an input length of 1, byte 1 of the link's buffer keeps the zero each open writes.
  lastCode_ = length >= 2 ? buffer[1] : 0;
  sentCodes_.insert(lastCode_);
  ++delivered_;
  if (lastCode_ == device::ReplyAck) ++acknowledgements_;
  writesAtLastReport_ = writes_;
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

// The image file the run loads: one per fuzzing process, randomly named so that parallel jobs
// never share it; removed at exit.
class ScratchImage {
 public:
  ScratchImage() {
    std::random_device random;
    const std::string name =
        "kavori-fuzz-run-" + std::to_string(random()) + std::to_string(random());
    path_ = (std::filesystem::temp_directory_path() / (name + ".hex")).string();
  }
  ~ScratchImage() {
    std::error_code ignored;
    std::filesystem::remove(path_, ignored);
  }

  // The magic, then zeros up to `size` (at least 2) bytes, loaded.
  firmware::FirmwareImage Load(std::size_t size) const {
    std::vector<char> bytes(std::max<std::size_t>(size, 2), 0);
    bytes[0] = 0x08;
    bytes[1] = static_cast<char>(0xAA);
    {
      std::ofstream out(path_, std::ios::binary | std::ios::trunc);
      out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
      Check(static_cast<bool>(out), "the scratch image is written");
    }
    auto loaded = firmware::LoadFirmwareFile(path_);
    Check(loaded.has_value(), "the scratch image loads");
    return std::move(loaded).value();
  }
  // Whether an image of it is still alive.
  bool Held() const { return !platform::ExclusiveFile::Open(path_); }

 private:
  std::string path_;
};

const ScratchImage& Scratch() {
  static const ScratchImage scratch;
  return scratch;
}

class CountingRun : public device::RunObserver {
 public:
  void RunStatus(const std::string& text, bool) override { lastStatus = text; }
  void RunProgress(int percent, const std::string&, bool) override {
    Check(percent >= 1 && percent <= 100, "progress within 1..100");
  }
  void RunFinished() override { ++finished; }

  // Written on the run's thread, read after it was joined.
  std::string lastStatus;
  std::atomic<int> finished{0};
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

double Elapsed(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// A reply-taking call's result, checked.
void CheckReply(unsigned code, FakeWorld& world) {
  Check(code <= 0xFF, "a reply is one byte");
  Check(code == device::ReplyNone || world.Sent(code),
        "a reply is a byte the device sent in byte 1 of a report");
}

// The actions of one input on its own link and run, with what the harness knows of them.
class Harness {
 public:
  Harness(device::DeviceLink& link, FakeWorld& world) : link_(link), world_(world), run_(link) {}
  ~Harness() {
    JoinRun();
    link_.Replies().Close();
    link_.CloseDeviceLink();
  }

  void Do(Action action, InputReader& input) {
    // Beside a run only what the wizard's teardown does: close the link or the event.
    if (running_ && action != Action::Close && action != Action::CloseEvent &&
        action != Action::Sleep && action != Action::SetTimeout)
      JoinRun();
    const auto timeout = std::chrono::milliseconds(link_.ReplyTimeoutMs());
    const auto start = Clock::now();
    switch (action) {
      case Action::Open:
        Open();
        break;
      case Action::Close:
        Check(link_.CloseDeviceLink() == device::kOk, "CloseDeviceLink returns 0");
        Check(Elapsed(start) < static_cast<double>(kSlack.count()),
              "CloseDeviceLink returns promptly, also while the run waits for a reply");
        Check(!link_.IsDeviceLinkOpen() && !world_.LockHeld() && world_.OpenHandles() == 0,
              "a closed link holds nothing");
        break;
      case Action::CreateEvent: {
        const std::uint64_t before = world_.Delivered();
        link_.Replies().Create();
        eventExists_ = true;
        Check(world_.Delivered() == before || link_.Replies().ReplyCode() == world_.LastCode(),
              "what queued before the event is kept in ReplyCode");
        break;
      }
      case Action::CloseEvent:
        link_.Replies().Close();
        eventExists_ = false;
        break;
      case Action::Enter:
        Check(device::SendEnterProgramming(link_) == device::kOk, "enter returns 0");
        break;
      case Action::Restart:
        Check(device::SendRestart(link_) == device::kOk, "restart returns 0");
        break;
      case Action::Prepare: {
        const std::uint64_t before = world_.Writes();
        const int r = device::SendPrepare(link_);
        Check((r == device::kOk) == (world_.Writes() > before),
              "prepare returns 0 exactly when the device got it");
        Check(r == device::kOk || r == device::kNotWritten, "prepare returns 0 or -3");
        break;
      }
      case Action::Burn:
      case Action::Verify: {
        const std::uint64_t before = world_.Delivered();
        const int r =
            action == Action::Burn ? device::SendBurnFlash(link_) : device::SendVerify(link_);
        Check(r == device::kOk || r == device::kNotAcknowledged, "burn/verify return 0 or -2");
        const bool read = world_.Delivered() > before;
        Check(eventExists_ || !read, "without the event nothing is read");
        Check((r == device::kOk) == (read && world_.LastCode() == device::ReplyAck),
              "burn/verify succeed exactly when the latest reply is an acknowledgement");
        Check(Elapsed(start) < static_cast<double>((timeout + kSlack).count()),
              "burn/verify wait at most the reply time-out");
        break;
      }
      case Action::Wait: {
        const std::uint64_t before = world_.Delivered();
        const unsigned code = device::WaitReply(link_);
        CheckReply(code, world_);
        const bool read = world_.Delivered() > before;
        Check(eventExists_ || !read, "without the event nothing is read");
        Check(read ? code == world_.LastCode() : code == device::ReplyNone,
              "a wait returns the latest report it read, and nothing when it read none");
        Check(!read || link_.Replies().ReplyCode() == 0, "a taken reply clears ReplyCode");
        Check(Elapsed(start) < static_cast<double>((timeout + kSlack).count()),
              "WaitReply waits at most the reply time-out");
        break;
      }
      case Action::Download: {
        const std::vector<std::uint8_t> image(input.Upto(kMaxImageSize, true));
        const std::uint64_t before = world_.Acknowledgements();
        CountingRun observer;
        const int r = run_.DownloadImage(observer, image);
        Check(r == device::kOk || r == device::kNotAcknowledged, "download returns 0 or -2");
        const std::uint64_t blocks = (image.size() + device::kBlockSize - 1) / device::kBlockSize;
        Check(r != device::kOk || world_.Acknowledgements() - before >= blocks,
              "every downloaded block was acknowledged");
        Check(r == device::kOk || run_.ProgrammingFailed(), "a refused block fails the run");
        break;
      }
      case Action::Run:
        StartRun(input.Upto(kMaxImageSize, true));
        break;
      case Action::Sleep:
        std::this_thread::sleep_for(std::chrono::microseconds(input.Upto(kMaxDelayUs, true)));
        break;
      case Action::SetTimeout:
        link_.SetReplyTimeoutMs(static_cast<std::uint16_t>(input.Upto(kMaxReplyTimeoutMs, false)));
        break;
      case Action::ToggleWatching:
        watching_ = !watching_;
        break;
      case Action::Count:
        break;
    }
  }

 private:
  void Open() {
    const bool wasOpen = link_.IsDeviceLinkOpen();
    const int r = link_.OpenDeviceLink(watching_);
    Check(r == device::kOk || r == device::kDeviceInUse || r == device::kNoDevice ||
              r == device::kDeviceRefused,
          "OpenDeviceLink returns a documented code");
    Check(r != device::kDeviceRefused || watching_, "only a watching search refuses a device");
    if (wasOpen) {
      Check(r == device::kDeviceInUse, "a second open finds the lock taken");
    } else if (r == device::kOk) {
      Check(link_.IsDeviceLinkOpen() && world_.LockHeld(), "an open link holds the lock");
      Check(world_.OpenHandles() == 2, "an open link holds two handles");
      Check(!watching_ || link_.LoaderMode(), "a watching search accepts only a loader");
      Check(link_.InputReportLength() <= platform::kReportBufferSize &&
                link_.OutputReportLength() <= platform::kReportBufferSize,
            "report lengths within the 65-byte buffers");
      const device::DeviceInfoRecord info = link_.DeviceInfo();
      Check(std::memchr(info.SerialString.data(), 0, 256) != nullptr &&
                std::memchr(info.ProductString.data(), 0, 256) != nullptr,
            "device strings are terminated");
    } else {
      Check(!link_.IsDeviceLinkOpen() && !world_.LockHeld() && world_.OpenHandles() == 0,
            "a failed open holds nothing");
    }
  }

  void StartRun(std::size_t size) {
    blocks_ = (std::max<std::size_t>(size, 2) + device::kBlockSize - 1) / device::kBlockSize;
    acknowledgementsBefore_ = world_.Acknowledgements();
    observer_ = std::make_unique<CountingRun>();
    Check(run_.StartProgrammingRun(*observer_, Scratch().Load(size)), "the run starts");
    running_ = true;
  }

  void JoinRun() {
    if (!running_) return;
    run_.JoinProgrammingRun();
    running_ = false;
    eventExists_ = false;
    Check(observer_->finished == 1, "a run finishes once");
    Check(!run_.ProgrammingActive(), "a finished run is no longer active");
    Check(!link_.IsDeviceLinkOpen() && !world_.LockHeld() && world_.OpenHandles() == 0,
          "a finished run holds nothing");
    Check(!Scratch().Held(), "a finished run released the image");
    Check((observer_->lastStatus == "Programming completed successfully.") ==
              !run_.ProgrammingFailed(),
          "the run's last status says whether it failed");
    // Enter, every block, burn and verify.
    Check(run_.ProgrammingFailed() ||
              world_.Acknowledgements() - acknowledgementsBefore_ >= blocks_ + 3,
          "a run succeeds only when every step was acknowledged");
  }

  device::DeviceLink& link_;
  FakeWorld& world_;
  device::ProgrammingRun run_;
  std::unique_ptr<CountingRun> observer_;
  bool running_ = false;
  std::uint64_t blocks_ = 0;
  std::uint64_t acknowledgementsBefore_ = 0;
  bool eventExists_ = false;
  bool watching_ = false;  // the wizard's WatchingReconnect
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  InputReader input({data, size});

  std::vector<InterfaceConfig> interfaces(1 + input.Upto(kMaxInterfaces - 1, false));
  for (InterfaceConfig& config : interfaces) config = InterfaceFrom(input);
  const std::uint8_t lockByte = input.U8();
  const platform::LockResult lockResult = lockByte == 1   ? platform::LockResult::InUse
                                          : lockByte == 2 ? platform::LockResult::Failed
                                                          : platform::LockResult::Acquired;
  std::deque<ScriptedRead> reads(input.Upto(kMaxReads, false));
  for (ScriptedRead& read : reads) read = ReadFrom(input);

  FakeWorld world(std::move(interfaces), std::move(reads), lockResult);
  FakeBackend backend(world);
  FakeLock lock(world);
  FakeInstances instances;
  platform::DiagnosticsLog diagnostics;
  const platform::Platform services{&backend, &lock, &instances, &diagnostics,
                                    platform::Pauses(kPauseScale)};
  {
    device::DeviceLink link(services);
    link.SetReplyTimeoutMs(2);
    Harness harness(link, world);
    for (std::size_t i = 0; i < kMaxActions && !input.AtEnd(); ++i)
      harness.Do(static_cast<Action>(input.U8() % static_cast<unsigned>(Action::Count)), input);
  }
  Check(!world.LockHeld() && world.OpenHandles() == 0, "nothing left open");
  return 0;
}
