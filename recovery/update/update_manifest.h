// The manifest a sealed update tree holds at its root: every entry the
// update would install with its type, and a file's size and the SHA-256 of
// its bytes. Its lines:
//   zq-manifest 1                       the first line
//   d system/lib                        a directory
//   f 412188 system/lib/libc.so         a file and its size in bytes,
//   <64 hex digits>  system/lib/libc.so followed by its sha256sum line
//   end 3 <64 hex digits>               the entries, and the SHA-256 of every
//                                       byte before this line
// Names are relative to the update root, as the walk's destinations without
// their leading slash.
#pragma once

#include <stddef.h>
#include <stdio.h>

#include "sha256.h"

constexpr const char* MANIFEST_HEADER = "zq-manifest 1";
// The largest manifest the device reads.
constexpr size_t MANIFEST_MAX_BYTES = 16u << 20;

struct manifest_entry {
    const char* name;
    const char* hash;  // a file's 64 hex digits; nullptr for a directory
    unsigned long long size;
    bool seen;  // met on the card
};

// A manifest read whole: its text, lines cut in place, and its entries sorted by name.
struct update_manifest {
    char* text;
    manifest_entry* entries;
    size_t count;
};

// Reads a manifest from text (size bytes of heap memory, one more for a NUL,
// owned by the manifest from then on, freed when it is damaged). nullptr,
// or why it is damaged.
const char* manifest_parse(char* text, size_t size, update_manifest* manifest);
// Reads the manifest at the update root (its path into path, TEXT_BUFFER_SIZE
// bytes). 0; 1 when the root holds none; -1 when it cannot be trusted, with
// why set to the damage, or nullptr and errno set where it cannot be read.
int manifest_load(const char* root, char* path, update_manifest* manifest, const char** why);
void manifest_free(update_manifest* manifest);

// The entry listed under exactly name, or nullptr.
manifest_entry* manifest_find(const update_manifest* manifest, const char* name);

// What a manifest says of an entry on the card.
enum manifest_verdict {
    MANIFEST_LISTED,      // as listed
    MANIFEST_UNLISTED,    // not listed
    MANIFEST_CASE_ONLY,   // listed under a name that differs only in case
    MANIFEST_OTHER_TYPE,  // listed as the other kind
    MANIFEST_OTHER_SIZE,  // listed with another size
};
// The verdict on a directory or file of size bytes named name (as the manifest
// names it); the entry listed, marked seen, in *listed (nullptr where none).
manifest_verdict manifest_check(update_manifest* manifest, const char* name, bool directory,
                                unsigned long long size, manifest_entry** listed);
// The line that says how an entry on the card differs from the manifest
// (destination: its path on the device), formatted into out (size bytes).
void manifest_difference_line(char* out, size_t size, manifest_verdict verdict,
                              const char* destination, bool directory, unsigned long long bytes,
                              const manifest_entry* listed);

// Writes a manifest: the header, the entries in any order, then the trailer.
struct manifest_writer {
    FILE* out;
    sha256_state lines;  // of every byte written before the trailer
    size_t count;
};
void manifest_write_begin(manifest_writer* writer, FILE* out);
void manifest_write_directory(manifest_writer* writer, const char* name);
void manifest_write_file(manifest_writer* writer, const char* name, unsigned long long size,
                         const char* hash);
// The trailer; 0, or -1 (errno set) when any write failed.
int manifest_write_end(manifest_writer* writer);
