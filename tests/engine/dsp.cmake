# Frequency-shift stage and pitch shifter: portable, so built natively (with
# the sanitizers) and for Windows (run under Wine). Every build checks the
# same digests of their output over the voice sample.
set(RYN_DSP_TEST_SOURCES
  engine/BuildEqualityTest.cpp
  engine/PlainPitchShifter.cpp
  engine/PitchShifterTest.cpp
  engine/SampleConversionTest.cpp
  engine/ShiftStageTest.cpp)

# The plain pitch shifter must round exactly as written. These programs
# stream minutes of audio: optimised in Debug too (sanitizers stay on).
ryn_add_test(engine_dsp_tests LABELS ${RYN_TEST_LABEL}
  SOURCES ${RYN_DSP_TEST_SOURCES}
  LIBS ryn_portable ryn_audio_analysis gmock
  COMPILE_OPTIONS -ffp-contract=off $<$<CONFIG:Debug>:-O2>)
ryn_test_file_path(RYN_VOICE_SAMPLE "${CMAKE_SOURCE_DIR}/host/samples/voice.wav")
target_compile_definitions(engine_dsp_tests PRIVATE "RYN_VOICE_SAMPLE=\"${RYN_VOICE_SAMPLE}\"")

# Thirty minutes of audio through the phase vocoder.
ryn_add_test(engine_dsp_purity_tests LABELS ${RYN_TEST_LABEL}
  SOURCES engine/PitchShifterPurityTest.cpp
  LIBS ryn_portable ryn_audio_analysis
  COMPILE_OPTIONS $<$<CONFIG:Debug>:-O2>
  TIMEOUT 900)
