// What only tests change in the status dialog.
#pragma once

// Forgets the dialog: no rows, default state, not created.
void dialog_reset_for_test();
