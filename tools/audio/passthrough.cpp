// Calibration run for scripts: the default microphone straight to the
// default speaker through DirectSound for a number of seconds. Prints the
// lead of its writes over the play cursor and the capture period its chunks
// waited, both to subtract from the lag heard (what remains is the routing's
// latency for a program that places samples by their capture time):
//   lead_ms=<milliseconds>
//   capture_period_ms=<milliseconds>
#include <cstdio>
#include <cstdlib>
#include <exception>

#include "tools/audio/DirectSoundPassthrough.h"

int main(int argc, char** argv) {
  const double seconds = argc > 1 ? std::atof(argv[1]) : 5.0;
  if (seconds <= 0) {
    std::fputs("usage: passthrough SECONDS\n", stderr);
    return 2;
  }
  try {
    CDirectSoundPassthrough passthrough;
    passthrough.Start();
    Sleep(static_cast<DWORD>(seconds * 1000));
    passthrough.Stop();
    if (!passthrough.Started()) {
      std::fputs("passthrough: nothing was captured\n", stderr);
      return 1;
    }
    std::printf("lead_ms=%.2f\ncapture_period_ms=%.2f\n", passthrough.LeadMs(), passthrough.CapturePeriodMs());
    return 0;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "passthrough: %s\n", e.what());
    return 1;
  }
}
