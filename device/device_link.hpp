// The link to the one connected device: the in-use lock, two handles on its HID interface (one
// for queries and writes, one for reading replies), its identity and the reader thread that
// stores every input report's reply code.
//
// Thread contract: the wizard's order of steps keeps the UI thread, the reconnect watcher and the
// programming run apart; the link's operations are serialised all the same, so that a teardown
// racing a worker stays safe. The read handle is used by one thread at a time: the reader thread
// (which touches only it, InputReport, ReplyCode and ReplyEvent) while no programming run is
// under way, and the run's own thread in ReadLatestReply while one is. A run reads for itself so
// that no thread has to wake another for each block.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "device/device_info.hpp"
#include "platform/platform.hpp"

namespace kavori::device {

// Identity of the device last accepted; never cleared, also not by CloseDeviceLink.
extern DeviceInfoRecord DeviceInfo;

// Installs the operating-system services (real or simulated). Refused (false) while a link is
// open, so the services cannot change under an open link. The services must outlive every use
// of the link: close it (or tear the wizard down) before destroying them.
bool UsePlatform(const platform::Platform& services);
// The services installed now (empty pointers before UsePlatform).
platform::Platform InstalledPlatform();
// What the services and the device search have said since the last call about what they passed
// over (see platform/diagnostics.hpp); empty without a diagnostics log. Any thread.
std::vector<platform::Diagnostic> TakeDiagnostics();

// Takes the in-use lock, finds and opens the device, fills DeviceInfo and starts the reader.
// 0, or -4 (lock held, by this process too), -20 (no acceptable device), -22 (normal-mode
// device while WatchingReconnect is set, or the reader could not start). A failure holds nothing.
int OpenDeviceLink();
// Stops and joins the reader, closes both handles and releases the lock. Always 0; harmless when
// nothing is open. Returns promptly even while a read is pending on a silent device.
int CloseDeviceLink();
// Narrows in place the UTF-16LE string a HID string query wrote into a 256-byte field.
void NarrowHidString(std::array<char, 256>& field);

bool IsDeviceLinkOpen();
// Report lengths of the open link (kept after close), each at most 65.
std::uint16_t InputReportLength();
std::uint16_t OutputReportLength();

// Writes the first OutputReportLength() bytes of `report` through the query/write handle.
// False when no link is open or the write fails.
bool WriteOutputReport(const std::array<std::uint8_t, 65>& report);

// What ReadLatestReply found.
enum class ReplyReadResult {
  Reply,    // `code` holds the latest reply
  Nothing,  // no reply within the bound
  Failed,   // no link, or the device is gone or failing; trying again at once is pointless
  NoEvent,  // the reply event does not exist: nobody may take a reply now
};
// The longest bound WaitReply gives ReadLatestReply, so that CloseDeviceLink waits no longer.
inline constexpr int kReplyReadSliceMs = 20;
// Takes the latest reply since the last take: one the reader thread signalled before it stood
// aside, then every input report queued on the read handle, the newest winning. When there is
// none, waits up to timeoutMs for one (and takes any that came right behind it).
ReplyReadResult ReadLatestReply(int timeoutMs, std::uint8_t& code);

// Tests only: closes the link and restores DeviceInfo and the report buffers to their start values.
void ResetDeviceLinkForTests();

}  // namespace kavori::device
