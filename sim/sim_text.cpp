// The short text form of a world, for tools (grammar in pdxsim.h).
#include "pdxsim.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

std::vector<std::string> split(const std::string& text, char sep) {
    std::vector<std::string> out;
    std::string cur;
    for (char c : text) {
        if (c == sep) {
            out.push_back(cur);
            cur.clear();
        } else {
            cur += c;
        }
    }
    out.push_back(cur);
    return out;
}

std::vector<std::string> words(const std::string& clause) {
    std::vector<std::string> out;
    std::string cur;
    for (char c : clause) {
        if (isspace((unsigned char)c)) {
            if (!cur.empty()) out.push_back(cur);
            cur.clear();
        } else {
            cur += c;
        }
    }
    if (!cur.empty()) out.push_back(cur);
    return out;
}

std::string lower(std::string s) {
    for (char& c : s) c = (char)tolower((unsigned char)c);
    return s;
}

bool number(const std::string& w, long* out) {
    if (w.empty()) return false;
    char* end = nullptr;
    long v = strtol(w.c_str(), &end, 0);
    if (*end) return false;
    *out = v;
    return true;
}

struct Parser {
    PdxSimWorld* world;
    char* error;
    size_t error_size;
    int family = 0;  // devices of the first clause

    bool fail(const std::string& msg) {
        if (error && error_size) snprintf(error, error_size, "%s", msg.c_str());
        return false;
    }

    // Values after a keyword: "A and B and C" or "A B C".
    std::vector<std::string> values(const std::vector<std::string>& w, size_t from) {
        std::vector<std::string> out;
        for (size_t k = from; k < w.size(); k++)
            if (lower(w[k]) != "and") out.push_back(w[k]);
        return out;
    }

    // Applies one value per family device; the last repeats.
    template <class Fn>
    bool per_device(const std::vector<std::string>& vals, const char* what, Fn fn) {
        if (vals.empty()) return fail(std::string("missing ") + what);
        for (int d = 0; d < family; d++) {
            const std::string& v = vals[(size_t)d < vals.size() ? (size_t)d : vals.size() - 1];
            if (!fn(world->device[d], v)) return fail(std::string("bad ") + what + " '" + v + "'");
        }
        return true;
    }

    bool clause(const std::vector<std::string>& w, bool first) {
        std::string k0 = lower(w[0]);
        long n = 0;
        if (first) {
            if (w.size() != 2 || !number(w[0], &n) || (lower(w[1]) != "device" && lower(w[1]) != "devices"))
                return fail("a world starts with 'N devices'");
            if (n < 0 || n > PDXSIM_MAX_DEVICES) return fail("too many devices");
            pdxsim_world_default(world, (int)n);
            family = (int)n;
            return true;
        }
        if (k0 == "product" || k0 == "products") {
            return per_device(values(w, 1), "product", [](PdxSimDeviceDesc& d, const std::string& v) {
                long x;
                if (!number(v, &x) || x < 0 || x > 0xFFFF) return false;
                d.product_id = (uint16_t)x;
                return true;
            });
        }
        if (k0 == "version" || k0 == "versions") {
            return per_device(values(w, 1), "version", [](PdxSimDeviceDesc& d, const std::string& v) {
                long x;
                if (!number(v, &x) || x < 0 || x > 0xFFFF) return false;
                d.version = (uint16_t)x;
                return true;
            });
        }
        if (k0 == "serial" || k0 == "serials") {
            return per_device(values(w, 1), "serial", [](PdxSimDeviceDesc& d, const std::string& v) {
                std::string lv = lower(v);
                if (lv == "none") {
                    pdxsim_set_serial(&d, nullptr);
                } else if (lv == "fail") {
                    for (int i = 0; i < PDXSIM_MAX_INTERFACES; i++) d.iface[i].faults.serial_fail = 1;
                } else if (lv == "string0") {
                    d.serial_kind = PDXSIM_SERIAL_STRING0;
                } else {
                    if (v.size() > PDXSIM_MAX_STRING) return false;
                    pdxsim_set_serial(&d, v.c_str());
                }
                return true;
            });
        }
        if (k0 == "no" && w.size() == 2 && lower(w[1]) == "parents") {
            // A configuration manager that cannot walk up from any interface
            // node (as Wine's, whose CM_Get_Parent knows no node).
            for (int d = 0; d < world->device_count; d++)
                for (PdxSimInterfaceDesc& i : world->device[d].iface) i.faults.parent_fail_step = 1;
            return true;
        }
        if (k0 == "order") {
            if (w.size() != 2) return fail("order needs one word");
            std::string o = lower(w[1]);
            // The order is applied once all devices are known (see parse()).
            if (o == "device")
                world->order_count = -1;
            else if (o == "interleaved")
                world->order_count = -2;
            else if (o == "reversed-interfaces")
                world->order_count = -3;
            else if (o == "reversed")
                world->order_count = -4;
            else
                return fail("unknown order '" + w[1] + "'");
            return true;
        }
        if (number(w[0], &n) && w.size() >= 2 && lower(w[1]) == "foreign") {
            uint16_t vendor = PDXSIM_VENDOR_ID, product = 0x2A12;
            size_t k = 2;
            if (k < w.size() && (lower(w[k]) == "device" || lower(w[k]) == "devices")) k++;
            while (k < w.size()) {
                std::string key = lower(w[k]);
                long x;
                if (k + 1 >= w.size() || !number(w[k + 1], &x) || x < 0 || x > 0xFFFF)
                    return fail("bad foreign clause");
                if (key == "vendor")
                    vendor = (uint16_t)x;
                else if (key == "product")
                    product = (uint16_t)x;
                else
                    return fail("unknown word '" + w[k] + "'");
                k += 2;
            }
            if (n < 0 || world->device_count + n > PDXSIM_MAX_DEVICES) return fail("too many devices");
            for (long j = 0; j < n; j++) {
                PdxSimDeviceDesc& d = world->device[world->device_count];
                pdxsim_device_default(&d, world->device_count);
                d.vendor_id = vendor;
                d.product_id = product;
                world->device_count++;
            }
            return true;
        }
        return fail("unknown clause '" + w[0] + "'");
    }
};

}  // namespace

extern "C" int pdxsim_parse_world(const char* text, PdxSimWorld* world, char* error, size_t error_size) {
    if (error && error_size) error[0] = 0;
    if (!text || !world) return 0;
    Parser p{world, error, error_size};
    std::vector<std::string> clauses = split(text, ',');
    bool first = true;
    for (const std::string& c : clauses) {
        std::vector<std::string> w = words(c);
        if (w.empty()) return p.fail("empty clause");
        if (!p.clause(w, first)) return 0;
        first = false;
    }
    int order = world->order_count;
    world->order_count = 0;
    if (order < 0) pdxsim_world_set_order(world, (PdxSimOrder)(-order - 1));
    return 1;
}
