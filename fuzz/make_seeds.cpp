// kavori_fuzz_seeds [TARGET] DIR: writes the seed corpus of one fuzz target (firmware-image when
// no TARGET is given; also report-descriptor, sim-options, reply-path). Small inputs, each near
// one of the edges of what the target reads, so that the fuzzer starts from inputs that reach
// every state.
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <string>
#include <string_view>
#include <vector>

#include "device/protocol.hpp"
#include "firmware/image_builder.hpp"
#include "fuzz/reply_path_input.hpp"

namespace {

using kavori::device::kReportDescriptor;
using kavori::device::kReportLength;
using kavori::device::ReplyAck;
using kavori::firmware::ImageBuilder;
using Bytes = std::vector<std::uint8_t>;

constexpr const char* kCode = "KAVSBL0000009900990000";

ImageBuilder Valid() {
  ImageBuilder builder;
  builder.Magic().DeviceDescriptorAt(2, 0x0005, 0x0110).StringDescriptorAt(38, kCode).Size(160);
  return builder;
}

bool WriteFile(const std::string& path, const Bytes& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
  return static_cast<bool>(out);
}

struct Seed {
  const char* name;
  Bytes bytes;
};

std::vector<Seed> FirmwareImageSeeds() {
  const struct {
    const char* name;
    ImageBuilder image;
  } images[] = {
      {"magic-only", ImageBuilder().Magic()},
      {"valid", Valid()},
      {"two-descriptors", Valid().DeviceDescriptorAt(140, 0x000B, 0x0203).Size(200)},
      {"rejected-product-id", ImageBuilder()
                                  .Magic()
                                  .DeviceDescriptorAt(2, 0x8105, 0x0110)
                                  .StringDescriptorAt(38, kCode)
                                  .Size(160)},
      {"doubled-header", ImageBuilder()
                             .Magic()
                             .DeviceDescriptorAt(2, 0x000A, 0x0110)
                             .BytesAt(38, {0x00, 0x2E, 0x00, 0x2E, 0x00, 0x03, 0x41})
                             .Size(64)},
      {"header-near-end", ImageBuilder()
                              .Magic()
                              .DeviceDescriptorAt(2, 0x0005, 0x0110)
                              .StringDescriptorAt(60, kCode)
                              .Size(100)},
      {"descriptor-at-end", ImageBuilder().Magic().DeviceDescriptorAt(20, 0x0005, 0x0110).Size(45)},
  };
  std::vector<Seed> seeds;
  for (const auto& image : images) seeds.push_back({image.name, image.image.Build()});
  return seeds;
}

std::vector<Seed> ReportDescriptorSeeds() {
  const Bytes kavori(kReportDescriptor.begin(), kReportDescriptor.end());
  Bytes padded = kavori;
  padded.insert(padded.end(), {0x00, 0x00, 0x00});
  return {
      {"vendor-64", kavori},
      {"vendor-64-padded", padded},
      // Report ids 1 and 2 of different sizes, a feature report, nested collections.
      {"numbered",
       {0x05, 0x0B, 0x09, 0x05, 0xA1, 0x01, 0x85, 0x01, 0x75, 0x08, 0x95, 0x10, 0x81, 0x02,
        0x91, 0x02, 0xA1, 0x02, 0x85, 0x02, 0x95, 0x3F, 0x81, 0x02, 0xB1, 0x02, 0xC0, 0xC0}},
      // Push, a large report, pop back to the small one.
      {"push-pop",
       {0x75, 0x01, 0x95, 0x07, 0xA4, 0x75, 0x10, 0x96, 0x00, 0x04, 0x81, 0x02, 0xB4, 0x91, 0x02}},
      // A long item, and four-byte item data.
      {"long-item",
       {0xFE, 0x02, 0x10, 0xAA, 0xBB, 0x77, 0x08, 0x00, 0x00, 0x00, 0x97, 0x02, 0x00, 0x00, 0x00,
        0x81, 0x02}},
      // Each report size at its largest.
      {"huge-counts",
       {0x77, 0xFF, 0xFF, 0xFF, 0xFF, 0x97, 0xFF, 0xFF, 0xFF, 0xFF, 0x81, 0x02, 0x91, 0x02}},
  };
}

Bytes Text(std::string_view text) { return Bytes(text.begin(), text.end()); }

std::vector<Seed> SimOptionsSeeds() {
  return {
      {"empty", Text("")},
      {"loader", Text("pid=0x8105,release=0xFFFF")},
      {"never-replugged", Text("replug=never,replug-into=normal,restart=0")},
      {"faults", Text("nak=data@0x38,silent=burn,unplug=restart,nak=enter")},
      {"strings",
       Text("serial=KAVSBL01234567890ABCDE,product=K\xC3\xA4vori \xE2\x98\x8E,devices=16")},
      {"astral", Text("product=\xF0\x9F\x93\x9E,serial=\xF0\x9F\x93\x9E\xF0\x9F\x93\x9E")},
      {"held", Text("latency-us=600000000,lock=held,list=unreadable,replug=600000")},
      {"refused", Text("pid=0x10000,,nak=burn@1")},
  };
}

namespace rp = kavori::fuzz;

// One Kavori interface without faults, in the mode `kind` picks.
void KavoriInterface(rp::InputWriter& w, rp::ProductIdKind kind, unsigned inLength,
                     unsigned outLength) {
  const Bytes serial = {'K', 0, 'A', 0, 'V', 0, 'S', 0, 'B', 0, 'L', 0, 0, 0};
  const Bytes product = {'K', 0, 'a', 0, 'v', 0, 'o', 0, 'r', 0, 'i', 0, 0, 0};
  w.U8(0).U8(static_cast<unsigned>(kind)).U8(0).U16(0x0103).U16(inLength).U16(outLength);
  w.U8(static_cast<unsigned>(serial.size())).Bytes(serial);
  w.U8(static_cast<unsigned>(product.size())).Bytes(product);
}

// Each read `delayUs` after the device is asked (after the command, for ReportAfterWrite).
void Reads(rp::InputWriter& w, const std::vector<std::pair<rp::ReadKind, Bytes>>& reads,
           unsigned delayUs = 0) {
  w.U8(static_cast<unsigned>(reads.size()));
  for (const auto& [kind, report] : reads) {
    w.U8(static_cast<unsigned>(kind)).U16(delayUs);
    if (kind == rp::ReadKind::Report || kind == rp::ReadKind::ReportAfterWrite)
      w.U8(static_cast<unsigned>(report.size())).Bytes(report);
  }
}

void Act(rp::InputWriter& w, rp::Action action) { w.U8(static_cast<unsigned>(action)); }

std::vector<std::pair<rp::ReadKind, Bytes>> Acks(std::size_t n) {
  return std::vector<std::pair<rp::ReadKind, Bytes>>(
      n, {rp::ReadKind::ReportAfterWrite, Bytes{0x00, ReplyAck}});
}

std::vector<Seed> ReplyPathSeeds() {
  using rp::Action;
  using rp::ReadKind;
  std::vector<Seed> seeds;

  {  // Every command acknowledged, step by step.
    rp::InputWriter w;
    w.U8(0);
    KavoriInterface(w, rp::ProductIdKind::Loader, kReportLength, kReportLength);
    w.U8(0);
    Reads(w, Acks(8));
    Act(w, Action::Open);
    Act(w, Action::SetTimeout);
    w.U8(8);
    Act(w, Action::CreateEvent);
    Act(w, Action::Enter);
    Act(w, Action::Wait);
    Act(w, Action::Download);
    w.U16(120);
    Act(w, Action::Burn);
    Act(w, Action::Verify);
    Act(w, Action::Restart);
    Act(w, Action::CloseEvent);
    Act(w, Action::Close);
    seeds.push_back({"acknowledged-steps", w.Data()});
  }
  {  // The whole run.
    rp::InputWriter w;
    w.U8(0);
    KavoriInterface(w, rp::ProductIdKind::Loader, kReportLength, kReportLength);
    w.U8(0);
    Reads(w, Acks(10));
    Act(w, Action::Open);
    Act(w, Action::SetTimeout);
    w.U8(8);
    Act(w, Action::Run);
    w.U16(200);
    seeds.push_back({"programming-run", w.Data()});
  }
  {  // The link closed while the run's thread waits for a slow reply.
    rp::InputWriter w;
    w.U8(0);
    KavoriInterface(w, rp::ProductIdKind::Loader, 65, 65);
    w.U8(0);
    Reads(w, Acks(4), 1500);
    Act(w, Action::Open);
    Act(w, Action::SetTimeout);
    w.U8(8);
    Act(w, Action::Run);
    w.U16(400);
    Act(w, Action::Sleep);
    w.U16(2000);
    Act(w, Action::Close);
    seeds.push_back({"close-during-run", w.Data()});
  }
  {  // A refusal, then the device vanishes.
    rp::InputWriter w;
    w.U8(0);
    KavoriInterface(w, rp::ProductIdKind::Loader, kReportLength, kReportLength);
    w.U8(0);
    Reads(
        w,
        {{ReadKind::ReportAfterWrite, {0x00, 0x01}}, {ReadKind::Error, {}}, {ReadKind::Gone, {}}});
    Act(w, Action::Open);
    Act(w, Action::CreateEvent);
    Act(w, Action::Enter);
    Act(w, Action::Wait);
    Act(w, Action::Sleep);
    w.U16(3000);
    Act(w, Action::Burn);
    Act(w, Action::Close);
    seeds.push_back({"refused-then-gone", w.Data()});
  }
  {  // Reports shorter and longer than the lengths claimed, which are off the Kavori's.
    rp::InputWriter w;
    w.U8(1);
    KavoriInterface(w, rp::ProductIdKind::Loader, 2, 300);
    KavoriInterface(w, rp::ProductIdKind::Loader, 1, 0);
    w.U8(0);
    Bytes longReport(80, ReplyAck);
    Reads(w, {{ReadKind::Report, {}},
              {ReadKind::Report, {0x00}},
              {ReadKind::Report, longReport},
              {ReadKind::Timeout, {}}});
    Act(w, Action::Open);
    Act(w, Action::CreateEvent);
    Act(w, Action::Sleep);
    w.U16(2000);
    Act(w, Action::Wait);
    Act(w, Action::Prepare);
    Act(w, Action::Wait);
    Act(w, Action::Close);
    seeds.push_back({"odd-lengths", w.Data()});
  }
  {  // A device in normal mode while the wizard waits for its loader; a foreign interface first.
    rp::InputWriter w;
    w.U8(1);
    w.U8(rp::kVendorFollows).U16(0x046D).U8(static_cast<unsigned>(rp::ProductIdKind::Raw));
    w.U16(0xC31C).U16(0x4900).U16(9).U16(9).U8(0).U8(0);
    KavoriInterface(w, rp::ProductIdKind::Normal, kReportLength, kReportLength);
    w.U8(0);
    Reads(w, {});
    Act(w, Action::ToggleWatching);
    Act(w, Action::Open);
    Act(w, Action::ToggleWatching);
    Act(w, Action::Open);
    Act(w, Action::Open);
    Act(w, Action::Prepare);
    Act(w, Action::Close);
    seeds.push_back({"normal-mode-watching", w.Data()});
  }
  {  // The in-use lock held elsewhere.
    rp::InputWriter w;
    w.U8(0);
    KavoriInterface(w, rp::ProductIdKind::Loader, kReportLength, kReportLength);
    w.U8(1);
    Reads(w, {});
    Act(w, Action::Open);
    Act(w, Action::Enter);
    seeds.push_back({"lock-in-use", w.Data()});
  }
  return seeds;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2 && argc != 3) {
    std::fprintf(stderr,
                 "usage: kavori_fuzz_seeds [firmware-image|report-descriptor|sim-options|"
                 "reply-path] DIR\n");
    return 2;
  }
  const std::string_view target = argc == 3 ? argv[1] : "firmware-image";
  const std::string dir = argv[argc - 1];
  std::vector<Seed> seeds;
  if (target == "firmware-image") {
    seeds = FirmwareImageSeeds();
  } else if (target == "report-descriptor") {
    seeds = ReportDescriptorSeeds();
  } else if (target == "sim-options") {
    seeds = SimOptionsSeeds();
  } else if (target == "reply-path") {
    seeds = ReplyPathSeeds();
  } else {
    std::fprintf(stderr, "kavori_fuzz_seeds: unknown target %s\n", argv[1]);
    return 2;
  }
  for (const Seed& seed : seeds) {
    const std::string path = dir + "/" + seed.name;
    if (!WriteFile(path, seed.bytes)) {
      std::fprintf(stderr, "kavori_fuzz_seeds: cannot write %s\n", path.c_str());
      return 1;
    }
  }
  return 0;
}
