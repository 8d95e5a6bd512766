# Scripted DirectSound devices shared by the Windows test programs.
if(WIN32)
  add_library(ryn_fake_dsound STATIC support/FakeDirectSound.cpp)
  target_include_directories(ryn_fake_dsound PUBLIC ${CMAKE_SOURCE_DIR} ${CMAKE_SOURCE_DIR}/tests)
  target_link_libraries(ryn_fake_dsound PUBLIC ryn_engine)
endif()
