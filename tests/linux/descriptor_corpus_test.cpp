// Replays the fuzzing corpus (fuzz/corpus) through the report-descriptor
// parser, so every input that once took the parser somewhere new is run in
// every build, sanitizer builds included.
#include <dirent.h>
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "hid_report_descriptor.h"

namespace {

std::string CorpusDir() {
    std::string here = __FILE__;  // .../tests/linux/descriptor_corpus_test.cpp
    size_t cut = here.rfind("/tests/linux/");
    return here.substr(0, cut) + "/fuzz/corpus";
}

std::vector<std::string> CorpusFiles() {
    std::vector<std::string> files;
    DIR* dir = opendir(CorpusDir().c_str());
    if (!dir) return files;
    while (struct dirent* e = readdir(dir))
        if (e->d_name[0] != '.') files.push_back(CorpusDir() + "/" + e->d_name);
    closedir(dir);
    return files;
}

std::vector<uint8_t> ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

TEST(DescriptorCorpus, IsThere) { EXPECT_GE(CorpusFiles().size(), 10u) << CorpusDir(); }

TEST(DescriptorCorpus, EveryInputParsesConsistently) {
    int accepted = 0;
    for (const std::string& path : CorpusFiles()) {
        std::vector<uint8_t> bytes = ReadFile(path);
        // A copy of exactly the input's size, so that a sanitizer build sees
        // any read past its end.
        std::vector<uint8_t> exact(bytes);
        PdxHidDescriptorSummary first, second;
        int ok = pdx_hid_parse_report_descriptor(exact.data(), exact.size(), &first);
        ASSERT_EQ(ok, pdx_hid_parse_report_descriptor(exact.data(), exact.size(), &second)) << path;
        ASSERT_EQ(0, memcmp(&first, &second, sizeof(first))) << path;
        if (!ok) {
            PdxHidDescriptorSummary zero;
            memset(&zero, 0, sizeof(zero));
            EXPECT_EQ(0, memcmp(&first, &zero, sizeof(first))) << path << ": a refused input leaves nothing behind";
            continue;
        }
        accepted++;
        EXPECT_GE(first.top_level_collections, 1) << path;
        EXPECT_GE(first.link_collection_nodes, 1) << path;
        EXPECT_TRUE(first.numbered == 0 || first.numbered == 1) << path;
    }
    EXPECT_GT(accepted, 0);
}

}  // namespace
