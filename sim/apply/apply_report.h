// What --apply did to the host: the outcome of one ApplyChanges call, which
// the run report tells.
#ifndef KESTROW_SIM_APPLY_APPLY_REPORT_H
#define KESTROW_SIM_APPLY_APPLY_REPORT_H

#include <string>
#include <vector>

namespace kestrow_sim {

// What --apply wrote back to the host.
struct ApplyReport {
    bool ok = true;
    // Each target is in one of the three: in place now, never put in
    // place, or put in place and then put back as it was after a later
    // step failed.
    std::vector<std::string> written;
    std::vector<std::string> notWritten;
    std::vector<std::string> rolledBack;
    std::string error;
    // Temporary files of an earlier run that was killed, removed first.
    std::vector<std::string> removedLeftovers;
    // After a failure: what the machine's files hold now.
    std::string machineState;
};

}  // namespace kestrow_sim

#endif
