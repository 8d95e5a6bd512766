# WAV files, test signals, delay and pitch measurement: native (sanitizers)
# and under Wine, since the real-audio tests use them there.
ryn_add_test(audio_analysis_tests LABELS ${RYN_TEST_LABEL}
  SOURCES
    tools/audio/ClickAnalysisTest.cpp
    tools/audio/FftTest.cpp
    tools/audio/SignalAnalysisTest.cpp
    tools/audio/TestSignalsTest.cpp
    tools/audio/WavFileTest.cpp
  LIBS ryn_audio_analysis)
