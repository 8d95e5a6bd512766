// Where a restart's time goes: the steps the manager takes to stop and start
// the engine, timed one by one on the real devices (PulseAudio fixture
// running). The manager itself is not started, so captured blocks are not
// played; device set-up and teardown are what is timed.
// Prints one JSON object per line and repetition.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <memory>

#include "bench/win/Stopwatch.h"
#include "engine/Player.h"
#include "engine/Recorder.h"
#include "engine/RynManager.h"

int main(int argc, char** argv) {
  const int repetitions = argc > 1 ? std::atoi(argv[1]) : 5;
  try {
    CRynManager manager;
    manager.SetDelay(100);
    Stopwatch clock;
    for (int repetition = 0; repetition <= repetitions; ++repetition) {
      double t = clock.NowUs();
      auto lap = [&]() {
        const double now = clock.NowUs();
        const double ms = (now - t) / 1000;
        t = now;
        return ms;
      };
      auto player = std::make_unique<CPlayer>(manager);
      const double createPlayer = lap();
      auto recorder = std::make_unique<CRecorder>(manager);
      const double createRecorder = lap();
      player->Start();
      const double startPlayer = lap();
      recorder->Start();
      const double startRecorder = lap();
      Sleep(300);
      t = clock.NowUs();
      SetEvent(manager.GetStopEvent());
      player->Stop();
      const double stopPlayer = lap();
      recorder->Stop();
      const double stopRecorder = lap();
      player.reset();
      const double destroyPlayer = lap();
      recorder.reset();
      const double destroyRecorder = lap();
      ResetEvent(manager.GetStopEvent());
      std::printf(
          "{\"bench\":\"restart_steps\",\"kind\":\"%s\",\"repetition\":%d,\"create_player_ms\":%.3f,"
          "\"create_recorder_ms\":%.3f,\"start_player_ms\":%.3f,\"start_recorder_ms\":%.3f,\"stop_player_ms\":%.3f,"
          "\"stop_recorder_ms\":%.3f,\"destroy_player_ms\":%.3f,\"destroy_recorder_ms\":%.3f}\n",
          repetition == 0 ? "cold" : "warm", repetition, createPlayer, createRecorder, startPlayer, startRecorder,
          stopPlayer, stopRecorder, destroyPlayer, destroyRecorder);
      std::fflush(stdout);
      Sleep(100);
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "restart steps: %s\n", e.what());
    return 1;
  } catch (...) {
    std::fprintf(stderr, "restart steps failed\n");
    return 1;
  }
  return 0;
}
