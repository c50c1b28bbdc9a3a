// HID report descriptor parser (HID 1.11, section 6.2.2). Only what the
// capabilities need is tracked: global report size, count, id and usage
// page, the local usages, and the collection nesting.
#include "hid_report_descriptor.h"

#include <string.h>

namespace {

enum ItemType { ITEM_MAIN = 0, ITEM_GLOBAL = 1, ITEM_LOCAL = 2 };

enum MainTag {
    MAIN_INPUT = 0x8,
    MAIN_OUTPUT = 0x9,
    MAIN_COLLECTION = 0xA,
    MAIN_FEATURE = 0xB,
    MAIN_END_COLLECTION = 0xC
};

enum GlobalTag {
    GLOBAL_USAGE_PAGE = 0x0,
    GLOBAL_REPORT_SIZE = 0x7,
    GLOBAL_REPORT_ID = 0x8,
    GLOBAL_REPORT_COUNT = 0x9,
    GLOBAL_PUSH = 0xA,
    GLOBAL_POP = 0xB
};

enum LocalTag { LOCAL_USAGE = 0x0, LOCAL_USAGE_MINIMUM = 0x1, LOCAL_USAGE_MAXIMUM = 0x2 };

const uint8_t kLongItemPrefix = 0xFE;
const uint32_t kMainFlagConstant = 0x01;
const uint32_t kMainFlagVariable = 0x02;
const uint32_t kMaxReportBits = PDX_HID_MAX_REPORT_BYTES * 8u;

struct GlobalState {
    uint32_t usage_page;
    uint32_t report_size;
    uint32_t report_count;
    uint32_t report_id;
};

struct LocalState {
    uint32_t entries;  // usages and usage ranges declared
    uint32_t usages;   // usages they name, ranges expanded
    int have_first;
    uint32_t first_usage;  // the first usage, page in the upper half
    int have_minimum;
    uint32_t minimum;
};

struct ParseState {
    GlobalState global;
    GlobalState stack[PDX_HID_MAX_GLOBAL_STACK];
    uint32_t stack_depth;
    LocalState local;
    uint32_t depth;                                   // open collections
    uint32_t top_level_seen;                          // top-level collections begun so far
    uint32_t report_bits[PDX_HID_REPORT_KINDS][256];  // first top-level collection, by report id
    int has_report[PDX_HID_REPORT_KINDS];
    int numbered;
};

uint16_t SaturatingAdd16(uint16_t a, uint32_t b) {
    uint32_t sum = (uint32_t)a + (b > 0xFFFFu ? 0xFFFFu : b);
    return (uint16_t)(sum > 0xFFFFu ? 0xFFFFu : sum);
}

uint32_t SaturatingAdd32(uint32_t a, uint32_t b) { return a > 0xFFFFFFFFu - b ? 0xFFFFFFFFu : a + b; }

// A usage item of 1 or 2 bytes takes the current usage page; 4 bytes carry
// their own page in the upper half.
uint32_t FullUsage(const ParseState* s, uint32_t value, size_t size) {
    if (size == 4) return value;
    return (s->global.usage_page << 16) | (value & 0xFFFFu);
}

void AddLocalUsage(ParseState* s, uint32_t usage, uint32_t count) {
    LocalState* local = &s->local;
    local->entries = SaturatingAdd32(local->entries, 1);
    local->usages = SaturatingAdd32(local->usages, count);
    if (!local->have_first) {
        local->have_first = 1;
        local->first_usage = usage;
    }
}

// Input, Output or Feature. Returns 0 when a report grows too long.
int HandleReportItem(ParseState* s, PdxHidDescriptorSummary* out, int kind, uint32_t flags) {
    // Items outside every collection belong to no collection's reports.
    if (s->depth == 0 || s->top_level_seen != 1) return 1;
    uint64_t bits = (uint64_t)s->global.report_size * s->global.report_count;
    uint32_t* total = &s->report_bits[kind][s->global.report_id];
    if (bits > kMaxReportBits - *total) return 0;
    *total += (uint32_t)bits;
    s->has_report[kind] = 1;

    if (flags & kMainFlagConstant) return 1;
    // As the Windows parser classes them: arrays and one-bit fields are
    // buttons, wider variable fields are values. Each usage (or range) is a
    // capability of its own.
    int variable = (flags & kMainFlagVariable) != 0;
    int button = !variable || s->global.report_size == 1;
    uint32_t caps = s->local.entries ? s->local.entries : 1;
    uint32_t indices = variable ? s->global.report_count : (s->local.usages ? s->local.usages : 1);
    if (button)
        out->button_caps[kind] = SaturatingAdd16(out->button_caps[kind], caps);
    else
        out->value_caps[kind] = SaturatingAdd16(out->value_caps[kind], caps);
    out->data_indices[kind] = SaturatingAdd16(out->data_indices[kind], indices);
    return 1;
}

int HandleMain(ParseState* s, PdxHidDescriptorSummary* out, uint32_t tag, uint32_t value) {
    switch (tag) {
    case MAIN_INPUT: return HandleReportItem(s, out, PDX_HID_INPUT, value);
    case MAIN_OUTPUT: return HandleReportItem(s, out, PDX_HID_OUTPUT, value);
    case MAIN_FEATURE: return HandleReportItem(s, out, PDX_HID_FEATURE, value);
    case MAIN_COLLECTION:
        if (s->depth == 0) {
            s->top_level_seen = SaturatingAdd32(s->top_level_seen, 1);
            if (s->top_level_seen == 1) {
                uint32_t usage = s->local.have_first ? s->local.first_usage : (s->global.usage_page << 16);
                out->usage_page = (uint16_t)(usage >> 16);
                out->usage = (uint16_t)usage;
            }
        }
        if (s->top_level_seen == 1) out->link_collection_nodes = SaturatingAdd16(out->link_collection_nodes, 1);
        s->depth = SaturatingAdd32(s->depth, 1);
        return 1;
    case MAIN_END_COLLECTION:
        if (s->depth == 0) return 0;
        s->depth--;
        return 1;
    default: return 1;  // reserved tags carry nothing we need
    }
}

int HandleGlobal(ParseState* s, uint32_t tag, uint32_t value) {
    switch (tag) {
    case GLOBAL_USAGE_PAGE: s->global.usage_page = value & 0xFFFFu; return 1;
    case GLOBAL_REPORT_SIZE: s->global.report_size = value; return 1;
    case GLOBAL_REPORT_COUNT: s->global.report_count = value; return 1;
    case GLOBAL_REPORT_ID:
        // Id 0 is reserved for "no report id"; ids are one byte.
        if (value == 0 || value > 255) return 0;
        s->global.report_id = value;
        s->numbered = 1;
        return 1;
    case GLOBAL_PUSH:
        if (s->stack_depth >= PDX_HID_MAX_GLOBAL_STACK) return 0;
        s->stack[s->stack_depth++] = s->global;
        return 1;
    case GLOBAL_POP:
        if (s->stack_depth == 0) return 0;
        s->global = s->stack[--s->stack_depth];
        return 1;
    default: return 1;  // logical and physical ranges, units: not needed
    }
}

void HandleLocal(ParseState* s, uint32_t tag, uint32_t value, size_t size) {
    switch (tag) {
    case LOCAL_USAGE: AddLocalUsage(s, FullUsage(s, value, size), 1); break;
    case LOCAL_USAGE_MINIMUM:
        s->local.have_minimum = 1;
        s->local.minimum = FullUsage(s, value, size);
        break;
    case LOCAL_USAGE_MAXIMUM: {
        uint32_t maximum = FullUsage(s, value, size);
        uint32_t minimum = s->local.have_minimum ? s->local.minimum : maximum;
        uint32_t count = maximum >= minimum ? (maximum & 0xFFFFu) - (minimum & 0xFFFFu) + 1 : 1;
        if ((maximum >> 16) != (minimum >> 16) || count > 0x10000u) count = 1;
        AddLocalUsage(s, minimum, count);
        s->local.have_minimum = 0;
        break;
    }
    default: break;  // designators, strings, delimiters
    }
}

uint32_t ItemValue(const uint8_t* p, size_t size) {
    uint32_t value = 0;
    for (size_t i = 0; i < size; i++) value |= (uint32_t)p[i] << (8 * i);
    return value;
}

void FinishLengths(const ParseState* s, PdxHidDescriptorSummary* out) {
    for (int kind = 0; kind < PDX_HID_REPORT_KINDS; kind++) {
        if (!s->has_report[kind]) continue;
        uint32_t longest = 0;
        for (int id = 0; id < 256; id++)
            if (s->report_bits[kind][id] > longest) longest = s->report_bits[kind][id];
        out->report_length[kind] = (uint16_t)((longest + 7) / 8 + 1);
    }
}

}  // namespace

int pdx_hid_parse_report_descriptor(const uint8_t* data, size_t size, PdxHidDescriptorSummary* out) {
    static const size_t kDataSize[4] = {0, 1, 2, 4};
    ParseState s;
    memset(&s, 0, sizeof(s));
    memset(out, 0, sizeof(*out));
    if (!data && size) return 0;

    size_t pos = 0;
    while (pos < size) {
        uint8_t prefix = data[pos];
        if (prefix == kLongItemPrefix) {
            // Long items: size byte, tag byte, data. None is defined; skip.
            if (size - pos < 3) goto malformed;
            size_t long_size = data[pos + 1];
            if (size - pos - 3 < long_size) goto malformed;
            pos += 3 + long_size;
            continue;
        }
        size_t item_size = kDataSize[prefix & 3];
        if (size - pos - 1 < item_size) goto malformed;
        uint32_t value = ItemValue(data + pos + 1, item_size);
        uint32_t type = (prefix >> 2) & 3;
        uint32_t tag = prefix >> 4;
        pos += 1 + item_size;

        if (type == ITEM_MAIN) {
            if (!HandleMain(&s, out, tag, value)) goto malformed;
            memset(&s.local, 0, sizeof(s.local));
        } else if (type == ITEM_GLOBAL) {
            if (!HandleGlobal(&s, tag, value)) goto malformed;
        } else if (type == ITEM_LOCAL) {
            HandleLocal(&s, tag, value, item_size);
        }
        // type 3 is reserved: skipped like an unknown item
    }
    if (s.depth != 0 || s.top_level_seen == 0) goto malformed;

    out->numbered = s.numbered;
    out->top_level_collections = (uint16_t)(s.top_level_seen > 0xFFFFu ? 0xFFFFu : s.top_level_seen);
    FinishLengths(&s, out);
    return 1;

malformed:
    memset(out, 0, sizeof(*out));
    return 0;
}
