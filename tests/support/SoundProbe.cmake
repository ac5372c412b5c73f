# What a viewer sees and hears, timestamped: a private PulseAudio daemon, its
# monitor recorded, painted flashes, and the pairing of the two. Shared by the
# benchmarks and the tests. A file of its own so that bench/ can still build
# it in a tree that leaves tests/ out; a target is found by name whichever
# folder is added first, so otherwise bench/ just links it from here.
add_library(veilcast_soundprobe STATIC
  ${CMAKE_CURRENT_LIST_DIR}/SoundProbe.h ${CMAKE_CURRENT_LIST_DIR}/SoundProbe.cpp)
target_include_directories(veilcast_soundprobe PUBLIC ${CMAKE_CURRENT_LIST_DIR})
target_link_libraries(veilcast_soundprobe PUBLIC veilcast_player veilcast_player_video
  Qt6::Core Qt6::Gui Qt6::Widgets)
