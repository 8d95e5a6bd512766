#include "engine/SchedulerTrace.h"

#include <cstdio>
#include <fstream>
#include <istream>
#include <ostream>
#include <sstream>
#include <stdexcept>

#include "engine/DriftResampler.h"

namespace {

[[noreturn]] void Unreadable(std::size_t lineNumber, const std::string& line) {
  throw std::runtime_error("trace line " + std::to_string(lineNumber) + " does not parse: " + line);
}

}  // namespace

SchedulerTrace ReadSchedulerTrace(std::istream& in) {
  SchedulerTrace trace;
  std::string line;
  std::size_t lineNumber = 0;
  bool columnsSeen = false;
  while (std::getline(in, line)) {
    ++lineNumber;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty()) continue;
    if (line[0] == '#') {
      trace.description += line.substr(1) + "\n";
      continue;
    }
    std::istringstream fields(line);
    if (trace.ringBytes == 0) {
      std::string ringKey;
      std::string rateKey;
      if (!(fields >> ringKey >> trace.ringBytes >> rateKey >> trace.sampleRate) || ringKey != "ring_bytes" ||
          rateKey != "sample_rate" || trace.ringBytes == 0 || trace.sampleRate == 0) {
        Unreadable(lineNumber, line);
      }
      continue;
    }
    if (!columnsSeen) {
      if (line != kTraceColumns) Unreadable(lineNumber, line);
      columnsSeen = true;
      continue;
    }
    StreamScheduler::Block block{};
    int quiet = 0;
    if (!(fields >> block.seconds >> block.play >> block.write >> block.samples >> block.lateSamples >>
          block.pendingSamples >> quiet) ||
        block.play >= trace.ringBytes || block.write >= trace.ringBytes || block.samples == 0 ||
        block.samples > DriftResampler::kMaxBlockSamples || (quiet != 0 && quiet != 1)) {
      Unreadable(lineNumber, line);
    }
    block.quiet = quiet == 1;
    trace.blocks.push_back(block);
  }
  if (!columnsSeen) throw std::runtime_error("trace has no column line");
  return trace;
}

SchedulerTrace ReadSchedulerTrace(const std::string& path) {
  std::ifstream in(path);
  if (!in) throw std::runtime_error("cannot open trace " + path);
  return ReadSchedulerTrace(in);
}

void WriteSchedulerTrace(std::ostream& out, const SchedulerTrace& trace) {
  std::istringstream description(trace.description);
  for (std::string line; std::getline(description, line);) out << "#" << line << "\n";
  out << "ring_bytes " << trace.ringBytes << " sample_rate " << trace.sampleRate << "\n" << kTraceColumns << "\n";
  const double first = trace.blocks.empty() ? 0.0 : trace.blocks.front().seconds;
  for (const StreamScheduler::Block& b : trace.blocks) {
    char text[160];
    std::snprintf(text, sizeof text, "%.6f %u %u %u %u %.4f %d\n", b.seconds - first, b.play, b.write, b.samples,
                  b.lateSamples, b.pendingSamples, b.quiet ? 1 : 0);
    out << text;
  }
}

std::vector<ReplayedBlock> ReplaySchedulerTrace(const SchedulerTrace& trace) {
  StreamScheduler scheduler(trace.ringBytes, trace.sampleRate);
  DriftResampler resampler;
  // The samples' values decide nothing of the scheduling.
  std::vector<std::int16_t> input(DriftResampler::kMaxBlockSamples, 1000);
  std::vector<std::int16_t> output(DriftResampler::kMaxOutputSamples);
  std::vector<ReplayedBlock> replayed;
  replayed.reserve(trace.blocks.size());
  for (StreamScheduler::Block block : trace.blocks) {
    block.pendingSamples = resampler.PendingSamples();
    const StreamScheduler::Placement placement = scheduler.Place(block);
    const std::uint32_t skip = placement.skipSamples;
    const std::uint32_t produced =
        resampler.Process(input.data() + skip, block.samples - skip, placement.step, output.data());
    scheduler.Advance(produced);
    replayed.push_back({block, placement, produced, scheduler.HeardDelayMs(),
                        scheduler.Reseats() + scheduler.Realignments(), scheduler.Stalls(),
                        scheduler.CaptureSteps(), scheduler.Holds()});
  }
  return replayed;
}
