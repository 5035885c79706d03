// Text inside XML: the FDSN station service's StationXML and SeedLink's INFO.
#pragma once

#include <string>
#include <string_view>

// The text with &, <, > and " written as entities.
inline std::string xml_escape(std::string_view s) {
    std::string out;
    for (char c : s) {
        if (c == '&')
            out += "&amp;";
        else if (c == '<')
            out += "&lt;";
        else if (c == '>')
            out += "&gt;";
        else if (c == '"')
            out += "&quot;";
        else
            out += c;
    }
    return out;
}
