// Arbitrary bytes as a commit record that passed the trust checks (owned by
// root, one name): read to its end, every field visited is one the update
// writes, and a sealed record counts the entries it visited.
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "commit_record.h"
#include "fuzz_input.h"
#include "recovery_facts.h"

namespace {

void visit(char kind, const char* first, const char* second, void* context) {
    if (strchr("DSPW", kind) == nullptr) abort();
    for (const char* path : {first, second}) {
        if (path != nullptr && strnlen(path, TEXT_BUFFER_SIZE) == TEXT_BUFFER_SIZE) abort();
    }
    if (kind == 'S') ++*static_cast<unsigned*>(context);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    memory_file file(data, size);
    const int fd = open(file.path(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) abort();
    record_summary summary;
    summary.state = RECORD_TRUSTED;
    unsigned staged = 0;
    record_read_descriptor(fd, visit, &staged, &summary);
    close(fd);
    if (summary.entries != staged) abort();
    if (summary.sealed && summary.state != RECORD_TRUSTED) abort();
    return 0;
}
