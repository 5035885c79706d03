// The NetBIOS session to the acquisition server. One NCB carries the whole
// CALL -> RECEIVE -> ... -> HANG UP -> CALL cycle; on_ncb_complete resubmits
// the record it was given, so exactly one command is outstanding at a time.
#include "link/session.h"

#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>

#include "common/app_state.h"
#include "common/oplog.h"
#include "link/decoder.h"
#include "link/station_indicator.h"

NCB session_ncb;
int32_t session_number = -1;
std::atomic<int32_t> closing{0};

namespace {

uint8_t receive_buffer[65535];
// The station this session serves; set before the first NetBIOS command.
std::atomic<const StationContext*> station{nullptr};

// Commands submitted whose completion has not returned yet: the stop waits
// for them, so no completion runs while the process ends. Never destroyed:
// a completion that outlives the stop's bounded wait still counts itself.
struct InFlight {
    std::mutex lock;
    std::condition_variable changed;
    int count = 0;
};
InFlight& in_flight = *new InFlight;

void count_in_flight(int change) {
    std::lock_guard<std::mutex> g(in_flight.lock);
    in_flight.count += change;
    in_flight.changed.notify_all();
}

// Receive time-out in 500-ms units.
std::atomic<UCHAR> receive_timeout{250};

void beep() {
    if (isatty(STDERR_FILENO)) {
        ssize_t ignored = write(STDERR_FILENO, "\a", 1);
        (void)ignored;
    }
}

void report(const char* text) {
    station.load()->status.error_text(text);
    write_log_line(text);
}

void on_ncb_complete(NCB* ncb);

// One second in short slices, so that a stop is not held up; false when
// the program is closing.
bool pause_before_calling() {
    for (int i = 0; i < 10 && !closing.load(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    return !closing.load();
}

// Submits an asynchronous command. A submission refused at once has no
// completion to follow, so it is reported and tried again after a pause
// instead of leaving the cycle stopped for good.
void submit(NCB* ncb) {
    for (;;) {
        count_in_flight(+1);
        UCHAR rc = Netbios(ncb);
        if (rc == NRC_PENDING || rc == NRC_GOODRET) return;
        count_in_flight(-1);
        if (closing.load()) return;
        char text[64];
        std::snprintf(text, sizeof text, "Код ошибки Netbios: %d", rc);
        beep();
        report(text);
        std::this_thread::sleep_for(std::chrono::seconds(1));
    }
}

// RECEIVE or HANG UP on the session the record holds.
void post(NCB* ncb, UCHAR command, uint8_t* buffer) {
    ncb->ncb_command = command | ASYNCH;
    ncb->ncb_buffer = buffer;
    ncb->ncb_length = sizeof receive_buffer;
    ncb->ncb_post = on_ncb_complete;
    ncb->ncb_lana_num = static_cast<UCHAR>(station.load()->config.lana & 0xFF);
    submit(ncb);
}

void post_receive(NCB* ncb) { post(ncb, NCBRECV, receive_buffer); }

void handle_completion(NCB* ncb) {
    if (closing.load()) {
        station_connected.store(0);
        update_station_indicator(station.load()->status);
        return;
    }
    const UCHAR command = ncb->ncb_command & ~ASYNCH;
    if (ncb->ncb_retcode == NRC_GOODRET) {
        station_connected.store(1);
        update_station_indicator(station.load()->status);
        if (command == NCBCALL) {
            session_number = ncb->ncb_lsn;
            post_receive(ncb);
        } else if (command == NCBRECV) {
            decode_message(station.load()->status, receive_buffer, ncb->ncb_length);
            post_receive(ncb);
        } else if (command == NCBHANGUP) {
            // A server that accepts and drops at once would otherwise make the
            // cycle spin and fill the log with connect and disconnect lines.
            if (pause_before_calling()) call_server(ncb);
        }
        return;
    }
    beep();
    station_connected.store(0);
    update_station_indicator(station.load()->status);
    char text[64];
    std::snprintf(text, sizeof text, "Код ошибки Netbios: %d", ncb->ncb_retcode);
    report(text);
    if (command == NCBCALL) {
        // An absent station refuses at once; a short pause keeps the endless
        // calling from burning a core and flooding the provider with threads.
        if (!pause_before_calling()) return;
        call_server(ncb);
    } else if (command == NCBRECV) {
        post(ncb, NCBHANGUP, nullptr);
    } else if (command == NCBHANGUP) {
        if (pause_before_calling()) call_server(ncb);
    }
}

void on_ncb_complete(NCB* ncb) {
    handle_completion(ncb);
    count_in_flight(-1);
}

}  // namespace

void clear_ncb(NCB* ncb) {
    std::memset(ncb, 0, sizeof *ncb);
    ncb->ncb_rto = receive_timeout.load();
    ncb->ncb_sto = 250;
    ncb->ncb_post = nullptr;
    ncb->ncb_retcode = 0;
    ncb->ncb_cmd_cplt = 0;
    ncb->ncb_lana_num = static_cast<UCHAR>(station.load()->config.lana & 0xFF);
}

void format_netbios_name(const char* format, const char* station, int padding,
                         UCHAR field[NCBNAMSZ]) {
    char text[64];
    std::snprintf(text, sizeof text, format, station);
    std::memset(field, 0, NCBNAMSZ);
    size_t n = std::strlen(text);
    if (n > NCBNAMSZ) n = NCBNAMSZ;  // cut: nothing is written beyond the field
    std::memcpy(field, text, n);
    if (padding != 0)
        for (size_t i = n; i < NCBNAMSZ; ++i) field[i] = ' ';
}

void own_name(UCHAR field[NCBNAMSZ]) {
    const StationContext& s = *station.load();
    format_netbios_name(kClientNameFormat, s.station_name, s.config.netbios_name_format, field);
}

void server_name(UCHAR field[NCBNAMSZ]) {
    const StationContext& s = *station.load();
    format_netbios_name(kServerNameFormat, s.station_name, s.config.netbios_name_format, field);
}

bool netbios_reset(const StationContext& context) {
    station.store(&context);
    NCB ncb;
    clear_ncb(&ncb);
    ncb.ncb_command = NCBRESET;
    ncb.ncb_lsn = 0;
    ncb.ncb_callname[0] = 10;
    ncb.ncb_callname[2] = 20;
    Netbios(&ncb);
    return ncb.ncb_retcode == NRC_GOODRET;
}

int add_client_name() {
    NCB ncb;
    clear_ncb(&ncb);
    ncb.ncb_command = NCBADDNAME;
    own_name(ncb.ncb_name);
    Netbios(&ncb);
    return ncb.ncb_retcode == NRC_GOODRET ? ncb.ncb_num : -1;
}

void call_server(NCB* ncb) {
    clear_ncb(ncb);
    ncb->ncb_command = NCBCALL | ASYNCH;
    server_name(ncb->ncb_callname);
    own_name(ncb->ncb_name);
    ncb->ncb_post = on_ncb_complete;
    submit(ncb);
}

void delete_client_name() {
    NCB ncb;
    clear_ncb(&ncb);
    ncb.ncb_command = NCBDELNAME;
    own_name(ncb.ncb_name);
    Netbios(&ncb);
}

void set_receive_timeout_for_test(UCHAR units) { receive_timeout.store(units); }

void close_session() {
    closing.store(1);
    if (session_number > 0) {
        NCB ncb;
        clear_ncb(&ncb);
        ncb.ncb_command = NCBHANGUP;
        ncb.ncb_lsn = static_cast<UCHAR>(session_number & 0xFF);
        Netbios(&ncb);
    }
    // The hang-up wakes an outstanding RECEIVE, and a CALL to a station that
    // refuses ends at once; a CALL into silence is not waited for in full.
    std::unique_lock<std::mutex> g(in_flight.lock);
    in_flight.changed.wait_for(g, kCloseWait, [] { return in_flight.count == 0; });
}
