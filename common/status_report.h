// What the station link and the recorder report to the operator's view.
// main wires in the status dialog; until then every report goes nowhere.
// Each may be called from any thread.
#pragma once

struct StatusReport {
    void (*station_state)(bool connected);   // the station icon
    void (*database_state)(bool connected);  // the database icon
    void (*error_text)(const char* text);    // the error field
    void (*roster_changed)();                // the channel list is rebuilt
    void (*event_seen)();                    // the event lamp blinks
    void (*pass_started)();                  // the flush button is enabled again
};

extern StatusReport status_report;
