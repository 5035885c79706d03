#include "shell/monitoring.h"

#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <mutex>
#include <nlohmann/json.hpp>
#include <sstream>
#include <vector>

#include "common/app_state.h"
#include "common/cp1251.h"
#include "common/json_text.h"
#include "common/metrics.h"
#include "link/block_queue.h"
#include "link/channel_table.h"
#include "link/station_indicator.h"
#include "live/seedlink_server.h"
#include "recorder/file_index.h"

namespace {

struct Labelled {
    std::string channel;  // the roster's name, UTF-8, escaped for a label
    const ChannelMetrics* figures;
    int wire;  // wire channel number
};

std::string label_value(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '\\' || c == '"') out += '\\';
        if (c == '\n') {
            out += "\\n";
            continue;
        }
        out += c;
    }
    return out;
}

std::vector<Labelled> roster_channels(Metrics& metrics) {
    std::vector<Labelled> out;
    for (const RosterEntry& e : current_roster()->entries) {
        out.push_back({label_value(station_text_to_utf8(e.name, sizeof e.name)),
                       &channel_metrics(metrics, e.channel), e.channel});
    }
    return out;
}

void family(std::ostringstream& out, const char* name, const char* type, const char* help) {
    out << "# HELP " << name << ' ' << help << "\n# TYPE " << name << ' ' << type << '\n';
}

template <class Read>
void per_channel(std::ostringstream& out, const std::vector<Labelled>& channels, const char* name,
                 const char* type, const char* help, Read read) {
    family(out, name, type, help);
    for (const Labelled& c : channels)
        out << name << "{channel=\"" << c.channel << "\"} " << read(*c.figures) << '\n';
}

std::string number(double v) {
    if (std::isnan(v)) return "NaN";
    char text[64];
    std::snprintf(text, sizeof text, "%.3f", v);
    return text;
}

// CPU seconds and resident bytes of this process, from /proc.
void process_figures(double* cpu_seconds, double* resident_bytes) {
    *cpu_seconds = 0;
    *resident_bytes = 0;
    std::ifstream stat("/proc/self/stat");
    std::string line;
    if (std::getline(stat, line)) {
        // Fields after the command's closing parenthesis: utime and stime are 12th and 13th.
        std::istringstream rest(line.substr(line.rfind(')') + 2));
        std::string field;
        double ticks = 0;
        for (int i = 1; i <= 13 && rest >> field; ++i)
            if (i >= 12) ticks += std::strtod(field.c_str(), nullptr);
        *cpu_seconds = ticks / static_cast<double>(sysconf(_SC_CLK_TCK));
    }
    std::ifstream statm("/proc/self/statm");
    double size = 0, resident = 0;
    if (statm >> size >> resident)
        *resident_bytes = resident * static_cast<double>(sysconf(_SC_PAGESIZE));
}

}  // namespace

std::string metrics_text(const StationContext& station) {
    const Metrics& metrics = station.metrics;
    const Config& config = station.config;
    const std::vector<Labelled> channels = roster_channels(station.metrics);
    timespec clock{};
    clock_gettime(CLOCK_REALTIME, &clock);
    const double now = static_cast<double>(clock.tv_sec) + clock.tv_nsec * 1e-9;
    std::ostringstream out;
    per_channel(out, channels, "veldrum_samples_received_total", "counter",
                "Samples received from the station.",
                [](const ChannelMetrics& m) { return m.samples_received.load(); });
    family(out, "veldrum_blocks_dropped_total", "counter",
           "Sample blocks refused or pushed out of a full queue, never written.");
    for (const Labelled& c : channels)
        out << "veldrum_blocks_dropped_total{channel=\"" << c.channel << "\"} "
            << dropped_blocks(c.wire) << '\n';
    per_channel(out, channels, "veldrum_ring_file_written_seconds_total", "counter",
                "Seconds of samples written into ring files.",
                [](const ChannelMetrics& m) { return m.seconds_written.load(); });
    per_channel(out, channels, "veldrum_gaps_total", "counter",
                "Blocks that did not start where the channel's previous block ended.",
                [](const ChannelMetrics& m) { return m.gaps.load(); });
    per_channel(out, channels, "veldrum_latency_seconds", "gauge",
                "Now minus the time of the channel's last sample received.",
                [now](const ChannelMetrics& m) {
                    const double last = m.last_sample_time.load();
                    return number(last > 0 ? now - last : NAN);
                });

    family(out, "veldrum_ring_bytes", "gauge", "Size of the ring files as the index measures it.");
    out << "veldrum_ring_bytes " << metrics.ring_bytes.load() << '\n';
    family(out, "veldrum_ring_limit_bytes", "gauge", "The ring's size limit (SIZEMB).");
    out << "veldrum_ring_limit_bytes " << config.size_limit << '\n';
    family(out, "veldrum_index_connected", "gauge",
           "1 while the index's data source is connected.");
    out << "veldrum_index_connected " << (index_connected() ? 1 : 0) << '\n';
    family(out, "veldrum_index_statements_failed_total", "counter",
           "Statements the index's data source refused.");
    out << "veldrum_index_statements_failed_total " << metrics.statements_failed.load() << '\n';
    family(out, "veldrum_index_rows_written_total", "counter",
           "File rows inserted or extended and events stored in the index.");
    out << "veldrum_index_rows_written_total " << metrics.rows_written.load() << '\n';
    family(out, "veldrum_station_connected", "gauge", "1 while the station's session is open.");
    out << "veldrum_station_connected " << (station_connected() ? 1 : 0) << '\n';
    family(out, "veldrum_liss_clients", "gauge", "LISS clients connected (at most one).");
    out << "veldrum_liss_clients " << metrics.liss_clients.load() << '\n';
    family(out, "veldrum_seedlink_up", "gauge",
           "1 while the SeedLink port serves; 0 when it is off or its record ring failed.");
    out << "veldrum_seedlink_up " << (seedlink_serving() ? 1 : 0) << '\n';

    double cpu = 0, resident = 0;
    process_figures(&cpu, &resident);
    family(out, "process_cpu_seconds_total", "counter", "User and system CPU time spent.");
    out << "process_cpu_seconds_total " << number(cpu) << '\n';
    family(out, "process_resident_memory_bytes", "gauge", "Resident memory size.");
    out << "process_resident_memory_bytes " << number(resident) << '\n';
    return out.str();
}

std::vector<ChannelHealth> channel_health(const StationContext& station) {
    timespec clock{};
    clock_gettime(CLOCK_REALTIME, &clock);
    const double now = static_cast<double>(clock.tv_sec) + clock.tv_nsec * 1e-9;
    std::vector<ChannelHealth> out;
    for (const RosterEntry& e : current_roster()->entries) {
        const ChannelMetrics& m = channel_metrics(station.metrics, e.channel);
        const double last = m.last_sample_time.load();
        out.push_back({station_text_to_utf8(e.name, sizeof e.name), last > 0 ? now - last : NAN,
                       gaps_on_day_of(m, now)});
    }
    return out;
}

bool health_report(const Config& config, std::string* json) {
    const bool station = station_connected();
    const bool index = index_connected();
    // A configured SeedLink feed that is off degrades the report but does not
    // fail the probe: a restart would cost recording and not mend a disk.
    const bool seedlink = config.seedlink_port <= 0 || seedlink_serving();
    const bool ok = station && index;
    nlohmann::ordered_json report{{"status", !ok ? "failing" : seedlink ? "ok" : "degraded"},
                                  {"station", station ? "connected" : "disconnected"},
                                  {"index", index ? "connected" : "disconnected"}};
    if (config.seedlink_port > 0) report["seedlink"] = seedlink ? "on" : "off";
    *json = json_text(report);
    return ok;
}
