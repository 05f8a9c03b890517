# kestrow-sim: the installer on a simulated Windows machine, from the command
# line. Included from the top-level CMakeLists.txt after add_subdirectory(sim).

# Everything of the tool but main(), so that tests can link it.
add_library(kestrow_sim_cli STATIC
  ${CMAKE_SOURCE_DIR}/sim/cli_options.cpp
  ${CMAKE_SOURCE_DIR}/sim/machine_settings.cpp
  ${CMAKE_SOURCE_DIR}/sim/machine_loader.cpp
  ${CMAKE_SOURCE_DIR}/sim/key_deletions.cpp
  ${CMAKE_SOURCE_DIR}/sim/message_box_text.cpp
  ${CMAKE_SOURCE_DIR}/sim/box_prompt.cpp
  ${CMAKE_SOURCE_DIR}/sim/text_encoding.cpp
  ${CMAKE_SOURCE_DIR}/sim/run_report.cpp
  ${CMAKE_SOURCE_DIR}/sim/host_files.cpp
  ${CMAKE_SOURCE_DIR}/sim/file_fingerprint.cpp
  ${CMAKE_SOURCE_DIR}/sim/registry_file_edit.cpp
  ${CMAKE_SOURCE_DIR}/sim/apply_plan.cpp
  ${CMAKE_SOURCE_DIR}/sim/apply_changes.cpp
  ${CMAKE_SOURCE_DIR}/sim/registry_file.cpp
  ${CMAKE_SOURCE_DIR}/sim/msdos_sys.cpp
  ${CMAKE_SOURCE_DIR}/sim/offline_machine.cpp
  ${CMAKE_SOURCE_DIR}/sim/recorded_version.cpp
  ${CMAKE_SOURCE_DIR}/sim/machine_report.cpp
)
target_include_directories(kestrow_sim_cli PUBLIC ${CMAKE_SOURCE_DIR})
find_package(nlohmann_json 3 REQUIRED)
target_link_libraries(kestrow_sim_cli PUBLIC kestrow_sim_runner kestrow_simfiles
  PRIVATE nlohmann_json::nlohmann_json)
# --image: a disk image's partition as drive C:.
target_sources(kestrow_sim_cli PRIVATE ${CMAKE_SOURCE_DIR}/sim/image_drive.cpp)
target_link_libraries(kestrow_sim_cli PUBLIC kestrow_disk_image)
# Sample machines are found by name in the source tree (the environment
# variable KESTROW_MACHINES overrides this at run time).
set_source_files_properties(${CMAKE_SOURCE_DIR}/sim/machine_loader.cpp PROPERTIES
  COMPILE_DEFINITIONS KESTROW_SAMPLE_MACHINES_DIR="${CMAKE_SOURCE_DIR}/sim/machines")

add_executable(kestrow-sim ${CMAKE_SOURCE_DIR}/sim/kestrow_sim_main.cpp)
target_link_libraries(kestrow-sim PRIVATE kestrow_sim_cli)
set_target_properties(kestrow-sim PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})
