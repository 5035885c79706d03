// STUB (SEED helper replaces)
#include "seed/seed_service.h"
void start_seed_service() {}
