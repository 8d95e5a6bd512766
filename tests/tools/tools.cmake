# WAV files and click matching (tools/audio): native (sanitizers) and under
# Wine, since the real-audio tests use them there.
ryn_add_test(audio_analysis_tests LABELS ${RYN_TEST_LABEL}
  SOURCES
    tools/audio/ClickAnalysisTest.cpp
    tools/audio/WavFileTest.cpp
  LIBS ryn_audio_analysis)
