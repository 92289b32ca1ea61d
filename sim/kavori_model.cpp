#include "sim/kavori_model.hpp"

#include <algorithm>
#include <array>

#include "device/protocol.hpp"
#include "firmware/firmware_image.hpp"

namespace kavori::sim {
namespace {

std::uint16_t LoaderId(std::uint16_t productId) {
  return static_cast<std::uint16_t>(0x8100 | (productId & 0xFF));
}
std::uint16_t NormalId(std::uint16_t productId) {
  return static_cast<std::uint16_t>(productId & 0xFF);
}

// The command a report carries, when the device's current mode acts on it at all.
std::optional<SimCommand> CommandFor(std::uint8_t code, bool loader) {
  if (!loader)
    return code == device::CmdPrepare ? std::optional(SimCommand::Prepare) : std::nullopt;
  switch (code) {
    case device::CmdEnterProgramming:
      return SimCommand::Enter;
    case device::CmdDataBlock:
      return SimCommand::Data;
    case device::CmdBurnFlash:
      return SimCommand::Burn;
    case device::CmdVerify:
      return SimCommand::Verify;
    case device::CmdRestart:
      return SimCommand::Restart;
    default:
      return std::nullopt;
  }
}

ModelResponse Reply(std::uint8_t code) {
  ModelResponse response;
  response.reply = code;
  return response;
}

ModelResponse Replug(std::chrono::milliseconds after, std::uint16_t productId,
                     std::uint16_t release) {
  ModelResponse response;
  response.presence = Presence::Replugs;
  response.after = after;
  response.productId = productId;
  response.release = release;
  return response;
}

}  // namespace

KavoriModel::KavoriModel(const SimOptions& options)
    : productId_(options.productId),
      release_(options.release),
      replugDelay_(options.replugDelay),
      replugInto_(options.replugInto),
      restartDelay_(options.restartDelay),
      faults_(options.faults) {}

void KavoriModel::Vanished() { session_ = false; }

void KavoriModel::Reappear(std::uint16_t productId, std::uint16_t release) {
  productId_ = productId;
  release_ = release;
}

const Fault* KavoriModel::MatchFault(SimCommand command, std::uint64_t blockOffset) const {
  for (const Fault& fault : faults_) {
    if (fault.command == command && (!fault.offset || *fault.offset == blockOffset)) return &fault;
  }
  return nullptr;
}

ModelResponse KavoriModel::Receive(std::span<const std::uint8_t> written) {
  std::array<std::uint8_t, device::kReportLength> report{};
  std::copy_n(written.begin(), std::min(written.size(), report.size()), report.begin());
  if (!std::equal(device::kReportHeader.begin(), device::kReportHeader.end(), report.begin()))
    return {};
  const auto command = CommandFor(report[device::kReportCommand], IsSimLoaderId(productId_));
  if (!command) return {};
  const std::size_t count = report[device::kReportCount];
  const std::uint16_t address = static_cast<std::uint16_t>(
      report[device::kReportAddressLow] | (report[device::kReportAddressHigh] << 8));
  // The address carries only 16 bits; the loader knows the full offset it expects next.
  const std::uint64_t expected = download_.size();
  const bool inOrder = address == (expected & 0xFFFF);
  const std::uint64_t blockOffset = inOrder ? expected : address;
  if (const Fault* fault = MatchFault(*command, blockOffset)) {
    switch (fault->kind) {
      case FaultKind::Unplug: {
        ModelResponse response;
        response.presence = Presence::Vanishes;
        return response;
      }
      case FaultKind::Silent:
        return {};
      case FaultKind::Nak:
        return Reply(kSimFailureCode);
    }
  }
  switch (*command) {
    case SimCommand::Prepare:
      if (!replugDelay_) return {};
      return Replug(*replugDelay_,
                    replugInto_ == ReplugTarget::Loader ? LoaderId(productId_) : productId_,
                    release_);
    case SimCommand::Enter:
      session_ = true;
      download_.clear();
      return Reply(device::ReplyAck);
    case SimCommand::Data: {
      const bool accepted = session_ && count >= 1 && count <= device::kBlockSize && inOrder;
      if (accepted) {
        const auto data = report.begin() + device::kReportData;
        download_.insert(download_.end(), data, data + count);
      }
      return Reply(accepted ? device::ReplyAck : kSimFailureCode);
    }
    case SimCommand::Burn:
      if (session_) flash_ = download_;
      return Reply(session_ ? device::ReplyAck : kSimFailureCode);
    case SimCommand::Verify:
      return Reply(session_ && flash_ == download_ ? device::ReplyAck : kSimFailureCode);
    case SimCommand::Restart: {
      std::uint16_t release = release_;
      std::uint32_t versionWord = 0;
      char productCode[firmware::kProductCodeLength + 1] = {};
      if (firmware::ScanImageBytes(flash_, versionWord, productCode) == 0)
        release = static_cast<std::uint16_t>(versionWord & 0xFFFF);
      return Replug(restartDelay_, NormalId(productId_), release);
    }
  }
  return {};
}

}  // namespace kavori::sim
