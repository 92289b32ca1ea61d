// kavori-gadget: a Kavori on the guest's USB stack. It plugs a HID gadget into a dummy_hcd port
// and answers the output reports it reads from /dev/hidgN with the same KavoriModel that the
// in-process simulation runs, replugging (empty UDC, new idProduct, bind again) where the model
// says the device leaves the bus. With --foreign it is another maker's keyboard that answers
// nothing.
//
//   kavori-gadget --name NAME --udc UDC --record PREFIX [--device OPTIONS | --foreign]
//
// OPTIONS take the syntax of `kavori-flash --simulate` for one device (pid, release, serial,
// product, replug, replug-into, restart, latency-us and the faults). Runs until SIGTERM or SIGINT,
// then unplugs and writes PREFIX.reports (every report received, each padded to 64 bytes),
// PREFIX.flash (what the last burn wrote) and PREFIX.state (key=value lines). Progress goes to
// stderr.
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "device/protocol.hpp"
#include "firmware/product_ids.hpp"
#include "sim/kavori_model.hpp"
#include "sim/simulated_world.hpp"
#include "usb_gadget.hpp"

namespace {

using namespace kavori;
using Clock = std::chrono::steady_clock;

// Through the gadget the report id is gone.
constexpr std::size_t kGadgetReportLength = device::kReportLength - 1;
// A reply the host does not collect within this is dropped, as a device's would be.
constexpr int kReplyDeliveryMs = 2000;

// A boot keyboard: 8-byte input reports, a 1-byte LED output report.
const std::vector<std::uint8_t> kKeyboardDescriptor = {
    0x05, 0x01, 0x09, 0x06, 0xA1, 0x01, 0x05, 0x07, 0x19, 0xE0, 0x29, 0xE7, 0x15, 0x00, 0x25, 0x01,
    0x75, 0x01, 0x95, 0x08, 0x81, 0x02, 0x95, 0x01, 0x75, 0x08, 0x81, 0x03, 0x95, 0x05, 0x75, 0x01,
    0x05, 0x08, 0x19, 0x01, 0x29, 0x05, 0x91, 0x02, 0x95, 0x01, 0x75, 0x03, 0x91, 0x03, 0x95, 0x06,
    0x75, 0x08, 0x15, 0x00, 0x25, 0x65, 0x05, 0x07, 0x19, 0x00, 0x29, 0x65, 0x81, 0x00, 0xC0};

const Clock::time_point g_start = Clock::now();

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

void Log(const std::string& text) {
  std::fprintf(stderr, "[gadget %9.3f ms] %s\n", Ms(Clock::now() - g_start), text.c_str());
}

std::string Hex4(unsigned value) {
  char text[8];
  std::snprintf(text, sizeof text, "0x%04x", value);
  return text;
}

struct Arguments {
  std::string name;
  std::string udc;
  std::string record;
  bool foreign = false;
  sim::SimOptions device;
};

std::optional<Arguments> Parse(int argc, char** argv, std::string& error) {
  Arguments arguments;
  std::string deviceOptions;
  for (int i = 1; i < argc; ++i) {
    const std::string key = argv[i];
    if (key == "--foreign") {
      arguments.foreign = true;
      continue;
    }
    if (i + 1 >= argc) {
      error = key + " needs a value";
      return std::nullopt;
    }
    const std::string value = argv[++i];
    if (key == "--name") {
      arguments.name = value;
    } else if (key == "--udc") {
      arguments.udc = value;
    } else if (key == "--record") {
      arguments.record = value;
    } else if (key == "--device") {
      deviceOptions = value;
    } else {
      error = "unknown argument " + key;
      return std::nullopt;
    }
  }
  if (arguments.name.empty() || arguments.udc.empty() || arguments.record.empty()) {
    error = "--name, --udc and --record are required";
    return std::nullopt;
  }
  const auto options = sim::ParseSimOptions(deviceOptions, error);
  if (!options) return std::nullopt;
  // These describe the guest around the device, which its scenario sets up instead.
  if (options->devices != 1 || options->lockHeld || options->listUnreadable) {
    error = "devices, lock and list are not options of one gadget";
    return std::nullopt;
  }
  arguments.device = *options;
  return arguments;
}

// A file descriptor that is closed on every way out.
class Fd {
 public:
  explicit Fd(int fd, const char* what) : fd_(fd) {
    if (fd_ < 0) throw std::runtime_error(std::string(what) + ": " + std::strerror(errno));
  }
  ~Fd() { ::close(fd_); }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

class KavoriGadget {
 public:
  explicit KavoriGadget(const Arguments& arguments)
      : arguments_(arguments),
        model_(arguments.device),
        gadget_(arguments.name, arguments.udc, Identity(arguments)),
        timer_(::timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC), "timerfd") {}

  // Until `signals` reports SIGTERM or SIGINT.
  void Run(int signals) {
    Plug();
    while (true) {
      std::array<pollfd, 3> fds{{{signals, POLLIN, 0}, {timer_.get(), POLLIN, 0}, {-1, 0, 0}}};
      nfds_t count = 2;
      if (gadget_.Plugged()) fds[count++] = {gadget_.Fd(), POLLIN, 0};
      if (::poll(fds.data(), count, -1) < 0) {
        if (errno == EINTR) continue;
        throw std::runtime_error(std::string("poll: ") + std::strerror(errno));
      }
      if (fds[0].revents != 0) return;
      if (fds[1].revents != 0) Reappear();
      if (count == 3 && fds[2].revents != 0) ReadReport();
    }
  }

  void WriteRecords() const {
    std::ofstream(arguments_.record + ".reports", std::ios::binary)
        .write(reinterpret_cast<const char*>(reports_.data()),
               static_cast<std::streamsize>(reports_.size()));
    const auto& flash = model_.Flash();
    std::ofstream(arguments_.record + ".flash", std::ios::binary)
        .write(reinterpret_cast<const char*>(flash.data()),
               static_cast<std::streamsize>(flash.size()));
    std::ofstream state(arguments_.record + ".state");
    state << "product_id=" << Hex4(model_.ProductId()) << "\n"
          << "release=" << Hex4(model_.Release()) << "\n"
          << "plugged=" << (gadget_.Plugged() ? 1 : 0) << "\n"
          << "reports=" << reports_.size() / kGadgetReportLength << "\n"
          << "command_reports=" << commandReports_ << "\n"
          << "data_blocks=" << dataBlocks_ << "\n"
          << "commands=" << CommandsText() << "\n";
    if (pulledOut_) {
      state << "pulled_out_epoch_ms="
            << std::chrono::duration_cast<std::chrono::milliseconds>(pulledOut_->time_since_epoch())
                   .count()
            << "\n";
    }
    if (dataBlocks_ > 1) {
      const double span = Ms(lastData_ - firstData_);
      state << "data_first_to_last_ms=" << span << "\n"
            << "data_ms_per_block=" << span / static_cast<double>(dataBlocks_ - 1) << "\n";
    }
  }

 private:
  static usbguest::GadgetIdentity Identity(const Arguments& arguments) {
    usbguest::GadgetIdentity identity;
    if (arguments.foreign) {
      identity.vendorId = sim::kForeignVendorId;
      identity.product = "USB Keyboard";
      identity.reportDescriptor = kKeyboardDescriptor;
      identity.reportLength = 8;
      identity.subclass = 1;
      identity.protocol = 1;
    } else {
      identity.vendorId = firmware::kVendorId;
      identity.product = arguments.device.product;
      identity.serial = arguments.device.serial;
      identity.reportDescriptor.assign(device::kReportDescriptor.begin(),
                                       device::kReportDescriptor.end());
      identity.reportLength = kGadgetReportLength;
    }
    return identity;
  }

  void Plug() {
    const std::uint16_t productId =
        arguments_.foreign ? sim::kForeignProductId : model_.ProductId();
    gadget_.Plug(productId, arguments_.foreign ? kForeignRelease : model_.Release());
    Log("plugged as " + Hex4(productId));
  }

  void Unplug(const char* why) {
    gadget_.Unplug();
    model_.Vanished();
    Log(std::string("unplugged: ") + why);
  }

  void Reappear() {
    std::uint64_t expirations = 0;
    if (::read(timer_.get(), &expirations, sizeof expirations) < 0 || !pending_) return;
    model_.Reappear(pending_->productId, pending_->release);
    pending_.reset();
    Plug();
  }

  void ReadReport() {
    std::array<std::uint8_t, kGadgetReportLength> received{};
    const ssize_t n = ::read(gadget_.Fd(), received.data(), received.size());
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
    if (n < 0) throw std::runtime_error(std::string("reading the gadget: ") + std::strerror(errno));
    reports_.insert(reports_.end(), received.begin(), received.end());
    // The host wrote report id 0 first; the model sees the report as written.
    std::array<std::uint8_t, device::kReportLength> report{};
    std::copy_n(received.begin(), static_cast<std::size_t>(n), report.begin() + 1);
    if (std::equal(device::kReportHeader.begin(), device::kReportHeader.end(), report.begin()))
      ++commandReports_;
    if (arguments_.foreign) return;
    const std::uint8_t command = report[device::kReportCommand];
    if (commands_.empty() || commands_.back().first != command) commands_.emplace_back(command, 0);
    ++commands_.back().second;
    if (command == device::CmdDataBlock) {
      lastData_ = Clock::now();
      if (dataBlocks_++ == 0) firstData_ = lastData_;
    }
    const sim::ModelResponse response = model_.Receive(report);
    if (response.reply) Reply(*response.reply, command);
    switch (response.presence) {
      case sim::Presence::Stays:
        return;
      case sim::Presence::Vanishes:
        Unplug("pulled out");
        pulledOut_ = std::chrono::system_clock::now();
        return;
      case sim::Presence::Replugs: {
        Unplug("replugging");
        pending_ = response;
        itimerspec at{};
        const auto after = std::max(response.after, std::chrono::milliseconds(1));
        at.it_value.tv_sec = static_cast<time_t>(after.count() / 1000);
        at.it_value.tv_nsec = static_cast<long>(after.count() % 1000 * 1'000'000);
        if (::timerfd_settime(timer_.get(), 0, &at, nullptr) != 0)
          throw std::runtime_error(std::string("timerfd_settime: ") + std::strerror(errno));
        return;
      }
    }
  }

  void Reply(std::uint8_t code, std::uint8_t command) {
    if (arguments_.device.latency.count() > 0)
      std::this_thread::sleep_for(arguments_.device.latency);
    std::array<std::uint8_t, kGadgetReportLength> reply{};
    reply[0] = code;
    pollfd writable{gadget_.Fd(), POLLOUT, 0};
    if (::poll(&writable, 1, kReplyDeliveryMs) != 1 ||
        ::write(gadget_.Fd(), reply.data(), reply.size()) != static_cast<ssize_t>(reply.size())) {
      Log("reply " + Hex4(code) + " to command " + Hex4(command) + " not delivered");
    }
  }

  // The command bytes received, repeats folded: "0x62 0x10 0x20*536 0x30".
  std::string CommandsText() const {
    std::string text;
    for (const auto& [command, count] : commands_) {
      char item[32];
      std::snprintf(item, sizeof item, count > 1 ? "0x%02x*%zu" : "0x%02x", command, count);
      text += (text.empty() ? "" : " ") + std::string(item);
    }
    return text;
  }

  static constexpr std::uint16_t kForeignRelease = 0x4900;

  const Arguments& arguments_;
  sim::KavoriModel model_;
  usbguest::UsbGadget gadget_;
  Fd timer_;
  std::optional<sim::ModelResponse> pending_;
  std::vector<std::uint8_t> reports_;
  std::vector<std::pair<std::uint8_t, std::size_t>> commands_;
  // When a fault last took the device off the bus; wall-clock time, as the scenario's is.
  std::optional<std::chrono::system_clock::time_point> pulledOut_;
  std::size_t commandReports_ = 0;  // with the Kavori's command report header
  std::size_t dataBlocks_ = 0;
  Clock::time_point firstData_;
  Clock::time_point lastData_;
};

}  // namespace

int main(int argc, char** argv) {
  std::string error;
  const std::optional<Arguments> arguments = Parse(argc, argv, error);
  if (!arguments) {
    std::fprintf(stderr, "kavori-gadget: %s\n", error.c_str());
    return 64;
  }
  try {
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGTERM);
    sigaddset(&stop, SIGINT);
    if (::sigprocmask(SIG_BLOCK, &stop, nullptr) != 0)
      throw std::runtime_error(std::string("sigprocmask: ") + std::strerror(errno));
    const Fd signals(::signalfd(-1, &stop, SFD_CLOEXEC), "signalfd");
    KavoriGadget gadget(*arguments);
    gadget.Run(signals.get());
    gadget.WriteRecords();
    Log("stopped");
  } catch (const std::exception& failure) {
    std::fprintf(stderr, "kavori-gadget %s: %s\n", arguments->name.c_str(), failure.what());
    return 1;
  }
  return 0;
}
