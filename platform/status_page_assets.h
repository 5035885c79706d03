// The status page's files, compiled into the program so that it needs no
// files beside it. web/ holds the sources; platform/status_page_assets.cc is
// generated from them by `cmake -P web/embed.cmake` (a test checks that the
// two agree).
#pragma once

#include <cstddef>

struct StatusPageAsset {
    const char* path;          // "/index.html", "/icons/lamp_lit.svg", ...
    const char* content_type;
    const char* data;
    size_t size;
};

extern const StatusPageAsset kStatusPageAssets[];
extern const size_t kStatusPageAssetCount;

// The asset served at path, or null.
const StatusPageAsset* find_status_page_asset(const char* path);
