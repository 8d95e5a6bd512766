// Calibration run for scripts: the default microphone straight to the
// default speaker through DirectSound for a number of seconds. Prints
// "running" once sound flows, and at the end the lead of its writes over the
// play cursor and the capture period its chunks waited, both to subtract
// from the lag heard (what remains is the routing's latency for a program
// that places samples by their capture time), and how long the output ran
// before it first slipped behind (the lead is that stretch's; the lag to
// subtract it from is the one heard then):
//   lead_ms=<milliseconds>
//   capture_period_ms=<milliseconds>
//   steady_s=<seconds>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <memory>

#include "tools/audio/DirectSoundPassthrough.h"

namespace {

// Wine now and then starts a capture stream that never moves; devices opened
// afresh deliver.
std::unique_ptr<CDirectSoundPassthrough> StartFlowing() {
  for (int attempt = 0; attempt < 3; ++attempt) {
    auto passthrough = std::make_unique<CDirectSoundPassthrough>();
    passthrough->Start();
    for (int waited = 0; waited < 1000 && !passthrough->Started(); waited += 10) Sleep(10);
    if (passthrough->Started()) return passthrough;
  }
  return nullptr;
}

}  // namespace

int main(int argc, char** argv) {
  const double seconds = argc > 1 ? std::atof(argv[1]) : 5.0;
  if (seconds <= 0) {
    std::fputs("usage: passthrough SECONDS\n", stderr);
    return 2;
  }
  try {
    const std::unique_ptr<CDirectSoundPassthrough> passthrough = StartFlowing();
    if (!passthrough) {
      std::fputs("passthrough: nothing was captured\n", stderr);
      return 1;
    }
    std::printf("running\n");
    std::fflush(stdout);
    Sleep(static_cast<DWORD>(seconds * 1000));
    passthrough->Stop();
    std::printf("lead_ms=%.2f\ncapture_period_ms=%.2f\nsteady_s=%.1f\n", passthrough->LeadMs(),
                passthrough->CapturePeriodMs(), passthrough->SteadySeconds());
    return 0;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "passthrough: %s\n", e.what());
    return 1;
  }
}
