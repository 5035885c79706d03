// What monitoring systems read: /metrics in the Prometheus text format and
// /api/health for a service manager's or an orchestrator's probe.
#pragma once

#include <string>

// The exposition text (version 0.0.4) of every figure, now.
std::string metrics_text();

// True while the station is connected and the index reachable; `json`
// gets a short report of both either way.
bool health_report(std::string* json);
