// A message box of the simulated machine, drawn on the terminal for a
// person to answer.
#ifndef KESTROW_SIM_CLI_BOX_PROMPT_H
#define KESTROW_SIM_CLI_BOX_PROMPT_H

#include <cstdio>

#include "platform/sim/machine.h"

namespace kestrow_sim {

// Draws the box (title, icon, text, buttons) on `out` and reads the answer,
// a button's name or its first letter, a line at a time from `in`; an empty
// line presses the first button. Returns the button's id, or -1 when the
// input ends first (the box counts as not shown). Text is converted from
// the code page to UTF-8.
int PromptBox(const platform::sim::MessageBoxRecord& box, unsigned codePage, std::FILE* in,
              std::FILE* out);

}  // namespace kestrow_sim

#endif
