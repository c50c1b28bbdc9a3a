// The report-descriptor parser: report lengths counted as Windows counts
// them, the top-level usage, numbered reports, and refusal of malformed
// input.
#include <gtest/gtest.h>

#include <vector>

#include "hid_report_descriptor.h"
#include "report_descriptors.h"

namespace {

struct Parsed {
    int ok;
    PdxHidDescriptorSummary summary;
};

Parsed Parse(const std::vector<uint8_t>& d) {
    Parsed p;
    memset(&p.summary, 0xA5, sizeof(p.summary));
    p.ok = pdx_hid_parse_report_descriptor(d.data(), d.size(), &p.summary);
    return p;
}

std::vector<uint8_t> Concat(std::vector<uint8_t> a, const std::vector<uint8_t>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

bool AllZero(const PdxHidDescriptorSummary& s) {
    const uint8_t* p = (const uint8_t*)&s;
    for (size_t i = 0; i < sizeof(s); i++)
        if (p[i]) return false;
    return true;
}

TEST(ReportLengths, PortInterfaceCountsTheAbsentReportIdByte) {
    Parsed p = Parse(PortInterfaceDescriptor());
    ASSERT_TRUE(p.ok);
    EXPECT_EQ(5, p.summary.report_length[PDX_HID_INPUT]);
    EXPECT_EQ(5, p.summary.report_length[PDX_HID_OUTPUT]);
    EXPECT_EQ(0, p.summary.report_length[PDX_HID_FEATURE]);
    EXPECT_EQ(0, p.summary.numbered);
    EXPECT_EQ(0xFF00, p.summary.usage_page);
    EXPECT_EQ(0x01, p.summary.usage);
}

TEST(ReportLengths, SpecialFunctionInterface) {
    Parsed p = Parse(SpecialFunctionDescriptor());
    ASSERT_TRUE(p.ok);
    EXPECT_EQ(65, p.summary.report_length[PDX_HID_INPUT]);
    EXPECT_EQ(65, p.summary.report_length[PDX_HID_OUTPUT]);
    EXPECT_EQ(0x02, p.summary.usage);
}

TEST(ReportLengths, LongestReportOfEachKindWins) {
    // Report 1: 4 input bytes; report 2: 8 input bytes and 2 output bytes.
    std::vector<uint8_t> d = {0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01, 0x75, 0x08, 0x85, 0x01, 0x95, 0x04,
                              0x81, 0x02, 0x85, 0x02, 0x95, 0x08, 0x81, 0x02, 0x95, 0x02, 0x91, 0x02, 0xC0};
    Parsed p = Parse(d);
    ASSERT_TRUE(p.ok);
    EXPECT_EQ(1, p.summary.numbered);
    EXPECT_EQ(9, p.summary.report_length[PDX_HID_INPUT]);
    EXPECT_EQ(3, p.summary.report_length[PDX_HID_OUTPUT]);
}

TEST(ReportLengths, FieldsOfOneReportAddUpAndRoundToBytes) {
    // 3 + 5 + 16 bits of input: 3 bytes, plus the report id byte.
    Parsed p = Parse(BootMouseDescriptor());
    ASSERT_TRUE(p.ok);
    EXPECT_EQ(4, p.summary.report_length[PDX_HID_INPUT]);
    std::vector<uint8_t> odd = {0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01, 0x75, 0x03, 0x95, 0x03, 0xB1, 0x02, 0xC0};
    p = Parse(odd);
    ASSERT_TRUE(p.ok);
    EXPECT_EQ(3, p.summary.report_length[PDX_HID_FEATURE]);  // 9 bits: 2 bytes + 1
}

TEST(ReportLengths, OnlyTheFirstTopLevelCollectionCounts) {
    std::vector<uint8_t> d = Concat(VendorDescriptor(0x01, 4, 4), VendorDescriptor(0x02, 32, 0));
    Parsed p = Parse(d);
    ASSERT_TRUE(p.ok);
    EXPECT_EQ(2, p.summary.top_level_collections);
    EXPECT_EQ(5, p.summary.report_length[PDX_HID_INPUT]);
    EXPECT_EQ(0x01, p.summary.usage);
}

TEST(ReportLengths, PushAndPopRestoreTheGlobals) {
    std::vector<uint8_t> d = {0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01, 0x75, 0x08, 0x95, 0x02,
                              0xA4,        // Push
                              0x95, 0x10,  // Report Count (16)
                              0xB4,        // Pop: count 2 again
                              0x81, 0x02, 0xC0};
    Parsed p = Parse(d);
    ASSERT_TRUE(p.ok);
    EXPECT_EQ(3, p.summary.report_length[PDX_HID_INPUT]);
}

TEST(ReportLengths, LargestReportThatFits) {
    std::vector<uint8_t> d = {0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01, 0x75, 0x08, 0x96, 0xFE, 0xFF, 0x81, 0x02, 0xC0};
    Parsed p = Parse(d);
    ASSERT_TRUE(p.ok);
    EXPECT_EQ(0xFFFF, p.summary.report_length[PDX_HID_INPUT]);
    d[10] = 0xFF;  // one byte more
    EXPECT_FALSE(Parse(d).ok);
}

TEST(TopLevelUsage, ExtendedUsageCarriesItsOwnPage) {
    std::vector<uint8_t> d = {0x05, 0x01, 0x0B, 0x01, 0x00, 0x0C, 0x00,  // Usage (Consumer:Consumer Control)
                              0xA1, 0x01, 0x75, 0x10, 0x95, 0x01, 0x81, 0x00, 0xC0};
    Parsed p = Parse(d);
    ASSERT_TRUE(p.ok);
    EXPECT_EQ(0x000C, p.summary.usage_page);
    EXPECT_EQ(0x0001, p.summary.usage);
}

TEST(TopLevelUsage, CollectionsAndCapabilitiesOfAMouse) {
    Parsed p = Parse(BootMouseDescriptor());
    ASSERT_TRUE(p.ok);
    EXPECT_EQ(0x0001, p.summary.usage_page);
    EXPECT_EQ(0x0002, p.summary.usage);
    EXPECT_EQ(2, p.summary.link_collection_nodes);
    EXPECT_EQ(1, p.summary.button_caps[PDX_HID_INPUT]);  // the button range
    EXPECT_EQ(2, p.summary.value_caps[PDX_HID_INPUT]);   // X and Y
    EXPECT_EQ(5, p.summary.data_indices[PDX_HID_INPUT]);
    EXPECT_EQ(0, p.summary.numbered);
}

TEST(ItemEncoding, LongItemsAreSkipped) {
    std::vector<uint8_t> d = PortInterfaceDescriptor();
    std::vector<uint8_t> long_item = {0xFE, 0x03, 0xF0, 0x81, 0x02, 0xC0};  // data looks like items
    d.insert(d.begin() + 7, long_item.begin(), long_item.end());
    Parsed p = Parse(d);
    ASSERT_TRUE(p.ok);
    EXPECT_EQ(5, p.summary.report_length[PDX_HID_INPUT]);
}

TEST(ItemEncoding, MainItemsOutsideCollectionsBelongToNoReport) {
    std::vector<uint8_t> d = Concat({0x75, 0x08, 0x95, 0x20, 0x81, 0x02}, PortInterfaceDescriptor());
    Parsed p = Parse(d);
    ASSERT_TRUE(p.ok);
    EXPECT_EQ(5, p.summary.report_length[PDX_HID_INPUT]);
}

class Malformed : public ::testing::TestWithParam<std::vector<uint8_t>> {};

TEST_P(Malformed, IsRefusedWithAZeroSummary) {
    Parsed p = Parse(GetParam());
    EXPECT_FALSE(p.ok);
    EXPECT_TRUE(AllZero(p.summary));
}

INSTANTIATE_TEST_SUITE_P(
    Descriptors, Malformed,
    ::testing::Values(std::vector<uint8_t>{},                                          // empty
                      std::vector<uint8_t>{0x06, 0x00, 0xFF, 0x09, 0x01},              // no collection
                      std::vector<uint8_t>{0xA1, 0x01, 0x26, 0xFF},                    // item cut short
                      std::vector<uint8_t>{0xA1, 0x01, 0x81, 0x02},                    // collection left open
                      std::vector<uint8_t>{0xA1, 0x01, 0xC0, 0xC0},                    // closed twice
                      std::vector<uint8_t>{0xA1, 0x01, 0x85, 0x00, 0xC0},              // report id 0
                      std::vector<uint8_t>{0xA1, 0x01, 0x86, 0x00, 0x01, 0xC0},        // report id 256
                      std::vector<uint8_t>{0xA1, 0x01, 0xB4, 0xC0},                    // pop without push
                      std::vector<uint8_t>{0xA1, 0x01, 0xFE, 0x05, 0x00, 0x01, 0xC0},  // long item cut short
                      std::vector<uint8_t>{0xA1, 0x01, 0xFE},                          // long item header cut
                      std::vector<uint8_t>{0xA1, 0x01, 0x77, 0xFF, 0xFF, 0xFF, 0xFF,   // 2^32-1 bits
                                           0x97, 0xFF, 0xFF, 0xFF, 0xFF, 0x81, 0x02, 0xC0}));

TEST(Malformed, PushBeyondTheStackIsRefused) {
    std::vector<uint8_t> d = {0xA1, 0x01};
    for (int i = 0; i < PDX_HID_MAX_GLOBAL_STACK; i++) d.push_back(0xA4);
    d.push_back(0xC0);
    EXPECT_TRUE(Parse(d).ok);
    d.insert(d.begin() + 2, 0xA4);
    EXPECT_FALSE(Parse(d).ok);
}

TEST(Malformed, ReportsThatAddUpPastTheLimitAreRefused) {
    // Two inputs of 40000 bytes each in one report.
    std::vector<uint8_t> d = {0xA1, 0x01, 0x75, 0x08, 0x96, 0x40, 0x9C, 0x81, 0x02, 0x81, 0x02, 0xC0};
    EXPECT_FALSE(Parse(d).ok);
}

TEST(Malformed, NoBytesAtAllWithANullPointer) {
    PdxHidDescriptorSummary s;
    EXPECT_FALSE(pdx_hid_parse_report_descriptor(nullptr, 0, &s));
    EXPECT_FALSE(pdx_hid_parse_report_descriptor(nullptr, 10, &s));
}

}  // namespace
