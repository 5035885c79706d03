// The FDSN request parser on arbitrary GET parameters and POST bodies: it
// must answer every input with a request or a reason, and a request it
// accepts has selections whose windows are in order.
#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "fdsn/fdsn_request.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    const FdsnService service = static_cast<FdsnService>(data[0] % 3);
    const bool post = data[1] & 1;
    const std::string text(reinterpret_cast<const char*>(data + 2), size - 2);
    FdsnRequest request;
    std::string error;
    bool ok = false;
    if (post) {
        ok = parse_fdsn_post(service, text, &request, &error);
    } else {
        // "a=b&c=d" as the server's query parser hands it over.
        std::vector<std::pair<std::string, std::string>> params;
        std::istringstream in(text);
        for (std::string kv; std::getline(in, kv, '&');)
            params.emplace_back(kv.substr(0, kv.find('=')), kv.substr(kv.find('=') + 1));
        ok = parse_fdsn_get(service, params, &request, &error);
    }
    if (!ok && error.empty()) std::abort();  // a refusal always says why
    if (!ok) return 0;
    if (request.selections.empty()) std::abort();
    for (const Selection& s : request.selections) {
        if (s.start > s.end) std::abort();
        FdsnTime back = 0;
        if (s.start != kFdsnTimeMin &&
            (!parse_fdsn_time(format_fdsn_time(s.start), &back) || back != s.start))
            std::abort();
        (void)s.cha.matches("SHZ");
    }
    return 0;
}
