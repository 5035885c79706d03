// The one NetBIOS session to the acquisition server: CALL, then RECEIVE after
// RECEIVE, HANG UP and CALL again after any failure, without limit.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>

#include "common/station_context.h"
#include "platform/netbios.h"

inline constexpr const char* kClientNameFormat = "%s.DCH.CLTX1";
inline constexpr const char* kServerNameFormat = "%s.DCH.SRV";

extern NCB session_ncb;
extern int32_t session_number;
extern std::atomic<int32_t> closing;

// The first command: keeps the context (which must outlive the session) for
// every later one.
bool netbios_reset(const StationContext& context);
int add_client_name();  // name number, or -1
void call_server(NCB* ncb);
void delete_client_name();
// Hangs up and waits, at most kCloseWait, for the outstanding command's
// completion to return.
void close_session();
inline constexpr std::chrono::milliseconds kCloseWait{3000};

// Test hook: the receive time-out in 500-ms units (250 unless set).
void set_receive_timeout_for_test(UCHAR units);
// All 64 bytes 0, time-outs 250 (receive: as set), LANA from the configuration.
void clear_ncb(NCB* ncb);
// A formatted name in a 16-byte field: NUL-filled when padding is 0, else
// blank-filled to 16 characters; a longer text is cut at 16.
void format_netbios_name(const char* format, const char* station, int padding,
                         UCHAR field[NCBNAMSZ]);
void own_name(UCHAR field[NCBNAMSZ]);
void server_name(UCHAR field[NCBNAMSZ]);
