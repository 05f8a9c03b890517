#include "sim/machine/installer_run.h"

#include "framework/cwinapp.h"
#include "installer/installer_app.h"
#include "installer/os_type.h"

namespace kestrow_sim {

int RunInstaller(platform::sim::Machine& machine) {
    platform::sim::Machine::Activation active(machine);
    g_osType = OS_UNKNOWN;
    int exitCode = 0;
    {
        CInstallerApp app;
        try {
            exitCode = AfxWinMain(reinterpret_cast<platform::HINSTANCE>(kProgramInstance));
        } catch (const platform::sim::ProcessEnded& ended) {
            exitCode = ended.exitCode;
        }
    }
    machine.SetExitCode(exitCode);
    return exitCode;
}

}  // namespace kestrow_sim
