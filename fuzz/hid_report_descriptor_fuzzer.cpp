// libFuzzer target for the report-descriptor parser: the bytes a device
// reports are hostile input. Besides what the sanitizers catch, it checks
// the promises of the parser's interface on every input.
#include <stdlib.h>
#include <string.h>

#include "hid_report_descriptor.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    PdxHidDescriptorSummary summary;
    int ok = pdx_hid_parse_report_descriptor(data, size, &summary);
    if (!ok) {
        static const PdxHidDescriptorSummary zero = {};
        if (memcmp(&summary, &zero, sizeof(zero)) != 0) abort();  // refused input must leave nothing
        return 0;
    }
    if (summary.top_level_collections == 0 || summary.link_collection_nodes == 0) abort();
    if (summary.numbered != 0 && summary.numbered != 1) abort();
    return 0;
}
