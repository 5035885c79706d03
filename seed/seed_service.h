// Start of the SEED service on the recorder thread: creates the record pipe
// (60,000 bytes), and when the LISS port is positive attaches it to
// streamRegistry and starts the LISS server thread.
#pragma once

void start_seed_service();
// At the end of the process: ends the LISS server thread and waits for it.
void stop_seed_service();
