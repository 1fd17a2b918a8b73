#pragma once

#include <cstddef>

// The live page's files, embedded at build time from web/assets/.
struct WebAsset {
    const char* path;  // URL path: "/" for index.html, "/app.js" ...
    const char* type;  // Content-Type
    const unsigned char* data;
    size_t size;
};

extern const WebAsset kWebAssets[];
extern const int kWebAssetCount;
