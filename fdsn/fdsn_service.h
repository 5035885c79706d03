// The three FDSN web services as answers to parsed requests, independent
// of the HTTP server that carries them (shell/status_server registers the
// routes). Every endpoint only reads: the index, the ring files, the roster.
//
//   /fdsnws/dataselect/1/    query (GET, POST), version, application.wadl
//   /fdsnws/availability/1/  query, extent (GET, POST), version, application.wadl
//   /fdsnws/station/1/       query (GET, POST), version, application.wadl
#pragma once

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "common/station_context.h"
#include "fdsn/dataselect.h"
#include "fdsn/fdsn_request.h"

struct FdsnResponse {
    int status = 200;
    std::string content_type = "text/plain; charset=utf-8";
    std::string body;
    // Dataselect: the records follow, piece by piece, after the body.
    std::shared_ptr<RecordStream> stream;
};

enum class FdsnMethod { kQuery, kExtent, kVersion, kWadl };

// Everything about one call: which service and method, GET parameters or
// a POST body, and the URL as requested (quoted in error texts).
struct FdsnCall {
    FdsnService service = FdsnService::kDataselect;
    FdsnMethod method = FdsnMethod::kQuery;
    bool post = false;
    std::vector<std::pair<std::string, std::string>> params;
    std::string body;
    std::string url;
};

FdsnResponse fdsn_answer(const StationContext& station, const FdsnCall& call);

// The FDSN error document: "Error <code>: <reason>", the detail, the
// request and the time, as text/plain.
FdsnResponse fdsn_error(int status, const std::string& detail, const std::string& url);
