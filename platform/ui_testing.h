// What only tests do to the user-interface thread's queue.
#pragma once

// Empties the queue and forgets the handlers.
void ui_reset_for_test();
