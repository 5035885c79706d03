// NetBIOS provider: the NCB interface over the NetBIOS session service on TCP
// (RFC 1001/1002), names resolved through an lmhosts file beside KVR.ini.
// ASYNCH commands return NRC_PENDING at once and complete on a completion
// thread the provider owns, which calls ncb_post there.
#pragma once

#include <cstdint>

using UCHAR = unsigned char;
using WORD = uint16_t;

inline constexpr int NCBNAMSZ = 16;

struct NCB;
using NcbPost = void (*)(NCB*);

struct NCB {
    UCHAR ncb_command;
    UCHAR ncb_retcode;
    UCHAR ncb_lsn;
    UCHAR ncb_num;
    UCHAR* ncb_buffer;
    WORD ncb_length;
    UCHAR ncb_callname[NCBNAMSZ];
    UCHAR ncb_name[NCBNAMSZ];
    UCHAR ncb_rto;
    UCHAR ncb_sto;
    NcbPost ncb_post;
    UCHAR ncb_lana_num;
    UCHAR ncb_cmd_cplt;
    UCHAR ncb_reserve[10];
};

// Command codes.
inline constexpr UCHAR NCBCALL = 0x10;
inline constexpr UCHAR NCBHANGUP = 0x12;
inline constexpr UCHAR NCBRECV = 0x15;
inline constexpr UCHAR NCBADDNAME = 0x30;
inline constexpr UCHAR NCBDELNAME = 0x31;
inline constexpr UCHAR NCBRESET = 0x32;
inline constexpr UCHAR ASYNCH = 0x80;

// Return codes.
inline constexpr UCHAR NRC_GOODRET = 0x00;
inline constexpr UCHAR NRC_BUFLEN = 0x01;
inline constexpr UCHAR NRC_ILLCMD = 0x03;
inline constexpr UCHAR NRC_CMDTMO = 0x05;
inline constexpr UCHAR NRC_INCOMP = 0x06;
inline constexpr UCHAR NRC_SNUMOUT = 0x08;
inline constexpr UCHAR NRC_NORES = 0x09;
inline constexpr UCHAR NRC_SCLOSED = 0x0A;
inline constexpr UCHAR NRC_CMDCAN = 0x0B;
inline constexpr UCHAR NRC_DUPNAME = 0x0D;
inline constexpr UCHAR NRC_NAMTFUL = 0x0E;
inline constexpr UCHAR NRC_NOCALL = 0x14;
inline constexpr UCHAR NRC_NOWILD = 0x15;
inline constexpr UCHAR NRC_NAMERR = 0x17;
inline constexpr UCHAR NRC_SABORT = 0x18;
inline constexpr UCHAR NRC_NAMCONF = 0x19;
inline constexpr UCHAR NRC_IFBUSY = 0x21;
inline constexpr UCHAR NRC_BRIDGE = 0x23;
inline constexpr UCHAR NRC_ENVNOTDEF = 0x34;
inline constexpr UCHAR NRC_SYSTEM = 0x40;
inline constexpr UCHAR NRC_PENDING = 0xFF;

// Executes one command; returns ncb_retcode (NRC_PENDING for ASYNCH submissions).
UCHAR Netbios(NCB* ncb);

// Cancels every command still waiting (it completes with NRC_CMDCAN; a
// RECEIVE's session is closed) and joins the completion threads; commands
// submitted meanwhile are refused with NRC_NORES. The provider serves again
// afterwards. Not to be called from a completion routine.
void netbios_shutdown();
