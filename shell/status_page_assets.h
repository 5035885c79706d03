// The status page's files, compiled into the program so that it needs no
// files beside it. web/ holds the sources; the build generates their
// definitions with web/embed.cmake.
#pragma once

#include <cstddef>

struct StatusPageAsset {
    const char* path;  // "/index.html", "/icons/lamp_lit.svg", ...
    const char* content_type;
    const char* data;
    size_t size;
};

extern const StatusPageAsset kStatusPageAssets[];
extern const size_t kStatusPageAssetCount;

// The asset served at path, or null.
const StatusPageAsset* find_status_page_asset(const char* path);
