// The one NetBIOS session to the acquisition server: CALL, then RECEIVE after
// RECEIVE, HANG UP and CALL again after any failure, without limit.
#pragma once

#include "common/station_context.h"
#include "platform/netbios.h"

inline constexpr const char* kClientNameFormat = "%s.DCH.CLTX1";
inline constexpr const char* kServerNameFormat = "%s.DCH.SRV";

// The first command: keeps the context (which must outlive the session) for
// every later one.
bool netbios_reset(const StationContext& context);
int add_client_name();  // name number, or -1
// Starts the cycle: the first CALL of the session's one NCB.
void start_session();
// From now on a completion submits nothing more (the stop command).
void begin_closing_session();
void delete_client_name();
// Closing, a HANG UP when a session is held, then whatever is still
// outstanding (a CALL into silence) is cancelled and its completion thread
// joined: no completion runs once this returns.
void close_session();

// All 64 bytes 0, time-outs 250 (receive: as set), LANA from the configuration.
void clear_ncb(NCB* ncb);
// A formatted name in a 16-byte field: NUL-filled when padding is 0, else
// blank-filled to 16 characters; a longer text is cut at 16.
void format_netbios_name(const char* format, const char* station, int padding,
                         UCHAR field[NCBNAMSZ]);
void own_name(UCHAR field[NCBNAMSZ]);
void server_name(UCHAR field[NCBNAMSZ]);
