// Runs Kestrow's installer on a simulated machine, the way Windows starts a
// process: a fresh application object, the OS code cleared, the framework's
// start-up, and an end either by returning or by a process exit.
#ifndef KESTROW_SIM_MACHINE_INSTALLER_RUN_H
#define KESTROW_SIM_MACHINE_INSTALLER_RUN_H

#include <cstdint>

#include "platform/sim/machine.h"

namespace kestrow_sim {

// The instance handle the simulated program is started with: the load
// address of a Windows 9x program, where its module would lie.
constexpr std::uintptr_t kProgramInstance = 0x00400000;

// Returns the program's exit code, which the machine also records.
int RunInstaller(platform::sim::Machine& machine);

}  // namespace kestrow_sim

#endif
