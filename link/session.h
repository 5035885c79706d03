// The one NetBIOS session to the acquisition server: CALL, then RECEIVE after
// RECEIVE, HANG UP and CALL again after any failure, without limit.
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/netbios.h"

extern NCB session_ncb;
extern int32_t session_number;
extern std::atomic<int32_t> closing;

bool netbios_reset();
int add_client_name();   // name number, or -1
void call_server(NCB* ncb);
void delete_client_name();
void close_session();
