// The main window: the handler of the user-interface thread's commands.
#pragma once

#include "common/commands.h"

// Command message to the main window: 102 stop, 40001 activate, 40002 end the work.
void main_window_command(int id);
// The 3-second timer of the status dialog.
void main_window_tick();
