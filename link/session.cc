// STUB (station-link helper replaces)
#include "link/session.h"
NCB session_ncb;
int32_t session_number = -1;
std::atomic<int32_t> closing{0};
bool netbios_reset() { return true; }
int add_client_name() { return 1; }
void call_server(NCB*) {}
void delete_client_name() {}
void close_session() {}
