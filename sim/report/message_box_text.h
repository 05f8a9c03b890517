// How a message box of the simulated machine is told in words: the icon
// and buttons its type asks for, and the button that answered it.
#ifndef KESTROW_SIM_REPORT_MESSAGE_BOX_TEXT_H
#define KESTROW_SIM_REPORT_MESSAGE_BOX_TEXT_H

#include <string>
#include <vector>

#include "platform/platform.h"

namespace kestrow_sim {

struct BoxButton {
    std::string label;  // "OK", "Cancel", ...
    int id;             // what MessageBoxA returns for it
};

// The buttons of the box type's button set, left to right.
std::vector<BoxButton> BoxButtons(platform::UINT type);
// "Exclamation", "Stop", "Question", "Information", or "none".
std::string BoxIconName(platform::UINT type);
// "OK", "Cancel", ... for a button id; "none (not shown)" for 0.
std::string BoxAnswerName(int answer);

}  // namespace kestrow_sim

#endif
