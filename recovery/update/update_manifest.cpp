#include "update_manifest.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include "recovery_facts.h"

namespace {

constexpr size_t HASH_DIGITS = 2 * SHA256_DIGEST;

bool is_hash(const char* s) {
    for (size_t i = 0; i < HASH_DIGITS; ++i) {
        if ((s[i] < '0' || s[i] > '9') && (s[i] < 'a' || s[i] > 'f')) return false;
    }
    return true;
}

// A decimal number at s, ended by a space; its end in *end. False when there is none.
bool read_number(const char* s, unsigned long long* value, const char** end) {
    *value = 0;
    const char* p = s;
    for (; *p >= '0' && *p <= '9'; ++p) {
        if (*value > (~0ULL - 9) / 10) return false;
        *value = *value * 10 + static_cast<unsigned>(*p - '0');
    }
    *end = p;
    return p != s && *p == ' ';
}

int by_name(const void* a, const void* b) {
    return strcmp(static_cast<const manifest_entry*>(a)->name,
                  static_cast<const manifest_entry*>(b)->name);
}

// The next line from *at, cut at its line end; nullptr past end.
char* next_line(char** at, const char* end) {
    char* line = *at;
    if (line >= end) return nullptr;
    char* stop = static_cast<char*>(memchr(line, '\n', static_cast<size_t>(end - line)));
    *stop = '\0';  // every line before the trailer ends with one
    *at = stop + 1;
    return line;
}

// The entries of the lines in [at, end), count of them; nullptr or why not.
const char* read_entries(char* at, const char* end, update_manifest* m, size_t count) {
    const char* line = next_line(&at, end);
    if (line == nullptr || strcmp(line, MANIFEST_HEADER) != 0) return MANIFEST_NOT_ONE;
    while ((line = next_line(&at, end)) != nullptr) {
        if (m->count == count) return MANIFEST_CUT_SHORT;
        manifest_entry* e = &m->entries[m->count++];
        const char* name = line + 2;
        if (line[0] == 'f' && line[1] == ' ' && read_number(line + 2, &e->size, &name)) {
            char* sum = next_line(&at, end);
            ++name;
            if (sum == nullptr || strlen(sum) < HASH_DIGITS + 2 || !is_hash(sum) ||
                strncmp(sum + HASH_DIGITS, "  ", 2) != 0 ||
                strcmp(sum + HASH_DIGITS + 2, name) != 0)
                return MANIFEST_BAD_LINE;
            sum[HASH_DIGITS] = '\0';
            e->hash = sum;
        } else if (line[0] != 'd' || line[1] != ' ') {
            return MANIFEST_BAD_LINE;
        }
        if (*name == '\0') return MANIFEST_BAD_LINE;
        e->name = name;
    }
    if (m->count != count) return MANIFEST_CUT_SHORT;
    qsort(m->entries, m->count, sizeof *m->entries, by_name);
    for (size_t i = 1; i < m->count; ++i) {
        if (strcmp(m->entries[i - 1].name, m->entries[i].name) == 0) return MANIFEST_TWICE;
    }
    return nullptr;
}

}  // namespace

const char* manifest_parse(char* text, size_t size, update_manifest* manifest) {
    *manifest = update_manifest{text, nullptr, 0};
    if (text == nullptr) return strerror(ENOMEM);
    text[size] = '\0';
    // The trailer: the last line, which seals every byte before it.
    size_t last = size > 0 && text[size - 1] == '\n' ? size - 1 : 0;
    while (last > 0 && text[last - 1] != '\n') --last;
    const char* trailer = text + last;
    unsigned long long count = 0;
    const char* digits = nullptr;
    char sum[SHA256_HEX_SIZE];
    sha256_state state;
    sha256_init(&state);
    sha256_feed(&state, text, last);
    sha256_finish(&state, sum);
    const char* why = MANIFEST_CUT_SHORT;
    if (last > 0 && strncmp(trailer, "end ", 4) == 0 && read_number(trailer + 4, &count, &digits) &&
        strncmp(digits + 1, sum, HASH_DIGITS) == 0 && digits[1 + HASH_DIGITS] == '\n' &&
        count <= last / 4) {
        const auto entries = static_cast<size_t>(count);  // below last
        manifest->entries =
            static_cast<manifest_entry*>(calloc(entries + 1, sizeof(manifest_entry)));
        why = manifest->entries == nullptr ? strerror(ENOMEM)
                                           : read_entries(text, trailer, manifest, entries);
    }
    if (why != nullptr) manifest_free(manifest);
    return why;
}

int manifest_load(const char* root, char* path, update_manifest* manifest, const char** why) {
    *manifest = update_manifest{};
    *why = nullptr;
    (void)snprintf(path, TEXT_BUFFER_SIZE, "%s/%s", root, MANIFEST_NAME);
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return errno == ENOENT ? 1 : -1;
    struct stat st {};
    char* text = nullptr;
    size_t size = 0;
    bool failed = fstat(fd, &st) != 0;
    if (!failed && (!S_ISREG(st.st_mode) ||
                    static_cast<unsigned long long>(st.st_size) > MANIFEST_MAX_BYTES)) {
        *why = MANIFEST_TOO_LARGE;
    } else if (!failed) {
        text = static_cast<char*>(malloc(static_cast<size_t>(st.st_size) + 1));
        failed = text == nullptr;
    }
    while (!failed && *why == nullptr && size < static_cast<size_t>(st.st_size)) {
        const ssize_t got = read(fd, text + size, static_cast<size_t>(st.st_size) - size);
        if (got == 0) *why = MANIFEST_CUT_SHORT;
        failed = got < 0;
        size += got > 0 ? static_cast<size_t>(got) : 0;
    }
    const int error = errno;
    close(fd);
    if (!failed && *why == nullptr) {
        return (*why = manifest_parse(text, size, manifest)) == nullptr ? 0 : -1;
    }
    free(text);
    errno = error;
    return -1;
}

void manifest_free(update_manifest* manifest) {
    free(manifest->entries);
    free(manifest->text);
    *manifest = update_manifest{};
}

manifest_entry* manifest_find(const update_manifest* manifest, const char* name) {
    const manifest_entry key{name, nullptr, 0, false};
    return static_cast<manifest_entry*>(
        bsearch(&key, manifest->entries, manifest->count, sizeof key, by_name));
}

manifest_verdict manifest_check(update_manifest* manifest, const char* name, bool directory,
                                unsigned long long size, manifest_entry** listed) {
    manifest_entry* e = manifest_find(manifest, name);
    manifest_verdict verdict = MANIFEST_LISTED;
    for (size_t i = 0; e == nullptr && i < manifest->count; ++i) {
        manifest_entry* other = &manifest->entries[i];
        if (!other->seen && strcasecmp(other->name, name) == 0) e = other;
        verdict = MANIFEST_CASE_ONLY;
    }
    *listed = e;
    if (e == nullptr) return MANIFEST_UNLISTED;
    e->seen = true;
    if (verdict != MANIFEST_LISTED) return verdict;
    if ((e->hash == nullptr) != directory) return MANIFEST_OTHER_TYPE;
    return directory || e->size == size ? MANIFEST_LISTED : MANIFEST_OTHER_SIZE;
}

void manifest_difference_line(char* out, size_t size, manifest_verdict verdict,
                              const char* destination, bool directory, unsigned long long bytes,
                              const manifest_entry* listed) {
    const char* kinds[] = {"file", "directory"};
    if (verdict == MANIFEST_UNLISTED) {
        (void)snprintf(out, size, MANIFEST_NOT_LISTED_FORMAT, destination);
    } else if (verdict == MANIFEST_CASE_ONLY) {
        (void)snprintf(out, size, MANIFEST_CASE_FORMAT, destination, listed->name);
    } else if (verdict == MANIFEST_OTHER_TYPE) {
        (void)snprintf(out, size, MANIFEST_TYPE_FORMAT, destination, kinds[directory],
                       kinds[!directory]);
    } else if (verdict == MANIFEST_OTHER_SIZE) {
        (void)snprintf(out, size, MANIFEST_SIZE_FORMAT, destination, bytes, listed->size);
    } else {
        out[0] = '\0';
    }
}

namespace {

// A manifest line is at most a path twice and a hash.
constexpr size_t LINE_SIZE = TEXT_BUFFER_SIZE * 2 + 128;

// Writes a line snprintf formatted (length: its result), and seals it.
void put(manifest_writer* writer, const char* line, int length) {
    const size_t kept = length < 0                                ? 0
                        : static_cast<size_t>(length) < LINE_SIZE ? static_cast<size_t>(length)
                                                                  : LINE_SIZE - 1;
    sha256_feed(&writer->lines, line, kept);
    (void)fwrite(line, 1, kept, writer->out);
}

}  // namespace

void manifest_write_begin(manifest_writer* writer, FILE* out) {
    writer->out = out;
    writer->count = 0;
    sha256_init(&writer->lines);
    char line[LINE_SIZE];
    put(writer, line, snprintf(line, sizeof line, "%s\n", MANIFEST_HEADER));
}

void manifest_write_directory(manifest_writer* writer, const char* name) {
    ++writer->count;
    char line[LINE_SIZE];
    put(writer, line, snprintf(line, sizeof line, "d %s\n", name));
}

void manifest_write_file(manifest_writer* writer, const char* name, unsigned long long size,
                         const char* hash) {
    ++writer->count;
    char line[LINE_SIZE];
    put(writer, line, snprintf(line, sizeof line, "f %llu %s\n%s  %s\n", size, name, hash, name));
}

int manifest_write_end(manifest_writer* writer) {
    char sum[SHA256_HEX_SIZE];
    sha256_finish(&writer->lines, sum);
    (void)fprintf(writer->out, "end %zu %s\n", writer->count, sum);
    return fflush(writer->out) == 0 && ferror(writer->out) == 0 ? 0 : -1;
}
