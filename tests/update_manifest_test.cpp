// The manifest of a sealed update tree and the hash it rests on.
#include "update_manifest.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <string>

#include "recovery_facts.h"

namespace {

std::string sha256_of(const std::string& bytes, size_t piece) {
    sha256_state state;
    sha256_init(&state);
    for (size_t at = 0; at < bytes.size(); at += piece) {
        sha256_feed(&state, bytes.data() + at, std::min(piece, bytes.size() - at));
    }
    char hex[SHA256_HEX_SIZE];
    sha256_finish(&state, hex);
    return hex;
}

// The standard's vectors, fed whole and in pieces across the block boundaries.
TEST(Sha256, GivesTheStandardsDigestsHoweverTheBytesArePieced) {
    const struct {
        std::string bytes;
        const char* digest;
    } vectors[] = {
        {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {"abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqrl"
         "m"
         "nopqrsmnopqrstnopqrstu",
         "cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1"},
        {std::string(1000000, 'a'),
         "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
    };
    for (const auto& v : vectors) {
        for (const size_t piece :
             {size_t{1}, size_t{55}, size_t{63}, size_t{64}, size_t{65}, size_t{4096}}) {
            if (piece == 1 && v.bytes.size() > 10000) continue;
            EXPECT_EQ(sha256_of(v.bytes, piece), v.digest) << v.bytes.size() << " in " << piece;
        }
    }
}

constexpr const char* HASH_A = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";

// A manifest written by the writer: two directories and two files.
std::string written_manifest() {
    char* text = nullptr;
    size_t size = 0;
    FILE* out = open_memstream(&text, &size);
    manifest_writer writer;
    manifest_write_begin(&writer, out);
    manifest_write_directory(&writer, "system");
    manifest_write_file(&writer, "system/b.so", 3, HASH_A);
    manifest_write_directory(&writer, "system/Lib");
    manifest_write_file(&writer, "system/Lib/A.so", 1048576, HASH_A);
    EXPECT_EQ(manifest_write_end(&writer), 0);
    fclose(out);
    std::string manifest(text, size);
    free(text);
    return manifest;
}

const char* parse(const std::string& text, update_manifest* manifest) {
    char* copy = static_cast<char*>(malloc(text.size() + 1));
    memcpy(copy, text.data(), text.size());
    return manifest_parse(copy, text.size(), manifest);
}

// What the walk meets is held to the manifest: each kind of difference.
TEST(UpdateManifest, ReadsWhatTheWriterWroteAndTellsEachDifference) {
    const std::string text = written_manifest();
    EXPECT_EQ(text.substr(0, 28), "zq-manifest 1\nd system\nf 3 s");
    EXPECT_NE(text.find(std::string("\n") + HASH_A + "  system/b.so\n"), std::string::npos)
        << "a sha256sum line";
    update_manifest manifest;
    ASSERT_EQ(parse(text, &manifest), nullptr);
    ASSERT_EQ(manifest.count, 4u);
    const struct {
        const char* name;
        bool directory;
        unsigned long long size;
        manifest_verdict verdict;
        const char* line;
    } cases[] = {
        {"system/b.so", false, 3, MANIFEST_LISTED, ""},
        {"system/b.so", false, 3, MANIFEST_LISTED, ""},  // met again: the walk refuses a name twice
        {"system/c.so", false, 3, MANIFEST_UNLISTED,
         "/system/c.so: on the card, not in the manifest\n"},
        {"system/lib", true, 0, MANIFEST_CASE_ONLY,
         "/system/lib: in the manifest as /system/Lib: the names differ only in case\n"},
        {"system", false, 0, MANIFEST_OTHER_TYPE,
         "/system: a file on the card, a directory in the manifest\n"},
        {"system/Lib/A.so", false, 412188, MANIFEST_OTHER_SIZE,
         "/system/Lib/A.so: 412188 bytes on the card, 1048576 in the manifest\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        manifest_entry* listed = nullptr;
        EXPECT_EQ(manifest_check(&manifest, c.name, c.directory, c.size, &listed), c.verdict);
        EXPECT_EQ(listed == nullptr, c.verdict == MANIFEST_UNLISTED);
        char line[TEXT_BUFFER_SIZE];
        manifest_difference_line(line, sizeof line, c.verdict, (std::string("/") + c.name).c_str(),
                                 c.directory, c.size, listed);
        EXPECT_STREQ(line, c.line);
    }
    for (size_t i = 0; i < manifest.count; ++i) EXPECT_TRUE(manifest.entries[i].seen) << i;
    manifest_free(&manifest);
}

// A manifest cut short, changed or malformed anywhere is refused, and says why.
TEST(UpdateManifest, RefusesAManifestCutShortChangedOrMalformed) {
    const std::string good = written_manifest();
    const size_t trailer = good.rfind("end ");
    auto resealed = [&](const std::string& body, size_t count) {
        manifest_writer writer;
        char* text = nullptr;
        size_t size = 0;
        FILE* out = open_memstream(&text, &size);
        writer.out = out;
        writer.count = count;
        sha256_init(&writer.lines);
        sha256_feed(&writer.lines, body.data(), body.size());
        (void)fwrite(body.data(), 1, body.size(), out);
        manifest_write_end(&writer);
        fclose(out);
        std::string sealed(text, size);
        free(text);
        return sealed;
    };
    std::string flipped = good;
    flipped[20] ^= 1;
    const struct {
        const char* what;
        std::string text;
        const char* why;
    } cases[] = {
        {"empty", "", MANIFEST_CUT_SHORT},
        {"no trailer", good.substr(0, trailer), MANIFEST_CUT_SHORT},
        {"cut in its trailer", good.substr(0, good.size() - 2), MANIFEST_CUT_SHORT},
        {"a byte changed", flipped, MANIFEST_CUT_SHORT},
        {"an entry short of its count", resealed(good.substr(0, trailer), 5), MANIFEST_CUT_SHORT},
        {"an entry past its count", resealed(good.substr(0, trailer), 3), MANIFEST_CUT_SHORT},
        {"another header", resealed("zq-manifest 2\nd system\n", 1), MANIFEST_NOT_ONE},
        {"an unknown line", resealed("zq-manifest 1\nx system\n", 1), MANIFEST_BAD_LINE},
        {"a size that is no number", resealed("zq-manifest 1\nf 3x a\n", 1), MANIFEST_BAD_LINE},
        {"a file without its sum", resealed("zq-manifest 1\nf 3 a\nd b\n", 2), MANIFEST_BAD_LINE},
        {"a sum of another name",
         resealed(std::string("zq-manifest 1\nf 3 a\n") + HASH_A + "  b\n", 1), MANIFEST_BAD_LINE},
        {"an empty name", resealed("zq-manifest 1\nd \n", 1), MANIFEST_BAD_LINE},
        {"a name twice", resealed("zq-manifest 1\nd a\nd a\n", 2), MANIFEST_TWICE},
    };
    for (const auto& c : cases) {
        update_manifest manifest;
        EXPECT_STREQ(parse(c.text, &manifest), c.why) << c.what;
        EXPECT_EQ(manifest.text, nullptr) << c.what;
    }
    update_manifest manifest;
    EXPECT_EQ(parse(resealed(good.substr(0, trailer), 4), &manifest), nullptr)
        << "resealed as it was";
    manifest_free(&manifest);
}

}  // namespace
