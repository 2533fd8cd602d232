// Arbitrary bytes as a card's manifest: it is refused, or every entry it
// lists is found again under its name, kind and size, in strict name order.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "update_manifest.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    auto* text = static_cast<char*>(malloc(size + 1));
    if (text == nullptr) return 0;
    memcpy(text, data, size);
    update_manifest manifest;
    if (manifest_parse(text, size, &manifest) != nullptr) {
        if (manifest.text != nullptr || manifest.entries != nullptr) abort();
        return 0;
    }
    for (size_t i = 0; i < manifest.count; ++i) {
        const manifest_entry& e = manifest.entries[i];
        if (i > 0 && strcmp(manifest.entries[i - 1].name, e.name) >= 0) abort();
        if (e.hash != nullptr && strlen(e.hash) != 2 * SHA256_DIGEST) abort();
        manifest_entry* listed = nullptr;
        if (manifest_check(&manifest, e.name, e.hash == nullptr, e.size, &listed) !=
                MANIFEST_LISTED ||
            listed != &e) {
            abort();
        }
    }
    manifest_free(&manifest);
    return 0;
}
