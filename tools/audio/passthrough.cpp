// Calibration run for scripts: the default microphone straight to the
// default speaker through DirectSound for a number of seconds. Prints what
// the pass-through itself added, to subtract from the lag heard:
//   own_delay_ms=<first write lead + first chunk> first_lead_ms=.. first_chunk_ms=..
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
    std::printf("own_delay_ms=%.2f first_lead_ms=%.2f first_chunk_ms=%.2f\n", passthrough.OwnDelayMs(),
                passthrough.FirstLeadMs(), passthrough.FirstChunkMs());
    return 0;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "passthrough: %s\n", e.what());
    return 1;
  }
}
