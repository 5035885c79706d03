// JSON as every road writes it (the page, /api/health, FDSN availability,
// SeedLink 4 INFO): compact, nlohmann's writer.
#pragma once

#include <string>

// Names and texts come from clients and the station: bytes that are no UTF-8
// are replaced rather than thrown about.
template <class Json>
std::string json_text(const Json& doc) {
    return doc.dump(-1, ' ', false, Json::error_handler_t::replace);
}
