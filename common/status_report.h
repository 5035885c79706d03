// What the station link and the recorder report to the operator's view.
// main wires in the status dialog; by default every report goes nowhere.
// Each may be called from any thread.
#pragma once

namespace status_report_detail {
inline void ignore_state(bool) {}
inline void ignore_text(const char*) {}
inline void ignore() {}
}  // namespace status_report_detail

struct StatusReport {
    // The station icon.
    void (*station_state)(bool connected) = status_report_detail::ignore_state;
    // The database icon.
    void (*database_state)(bool connected) = status_report_detail::ignore_state;
    // The error field.
    void (*error_text)(const char* text) = status_report_detail::ignore_text;
    // The channel list is rebuilt.
    void (*roster_changed)() = status_report_detail::ignore;
    // The event lamp blinks.
    void (*event_seen)() = status_report_detail::ignore;
    // The flush button is enabled again.
    void (*pass_started)() = status_report_detail::ignore;
};
