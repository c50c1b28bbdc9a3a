#include "results.h"

#include <math.h>
#include <stdio.h>

#include <algorithm>

void AddRow(Results* results, const Row& row) {
    results->rows.push_back(row);
    // Progress on stderr while the run goes on; the table comes at the end.
    fprintf(stderr, "  %-12s %-52s %12.3f %s\n", row.section.c_str(), row.name.c_str(), row.value, row.unit.c_str());
}

static double Compared(const Row& row) {
    if (row.compare == COMPARE_DIFFERENCE) return row.value - row.floor;
    if (row.compare == COMPARE_RATIO) return row.floor != 0 ? row.value / row.floor : 0;
    return 0;
}

double TwoHopRatio(const Row& row) { return row.two_hop != 0 ? row.value / row.two_hop : 0; }

static std::string Number(double v) {
    char text[32];
    if (v != 0 && fabs(v) >= 100000)
        snprintf(text, sizeof text, "%.0f", v);
    else if (fabs(v) >= 100)
        snprintf(text, sizeof text, "%.1f", v);
    else
        snprintf(text, sizeof text, "%.3f", v);
    return text;
}

void PrintTable(const Results& results) {
    std::string informative;
    if (!results.accel.empty())
        informative = " (informative: a VM under " + results.accel + ")";
    else if (results.informative)
        informative = " (informative: targets apply to the Linux build)";
    printf("\npdxkit benchmarks: %s build, %s run%s\n", results.platform.c_str(), results.mode.c_str(),
           informative.c_str());
    printf("%-12s %-52s %10s %10s %10s %10s %9s %-9s %-12s %s\n", "section", "measure", "pdxkit", "floor", "2-hop",
           "vs floor", "vs 2-hop", "unit", "target", "met");
    std::string last;
    for (const Row& row : results.rows) {
        if (row.section != last && !last.empty()) printf("\n");
        last = row.section;
        std::string floor = row.compare == COMPARE_NONE ? "-" : Number(row.floor);
        std::string vs = "-";
        if (row.compare == COMPARE_DIFFERENCE) vs = (Compared(row) >= 0 ? "+" : "") + Number(Compared(row));
        if (row.compare == COMPARE_RATIO) vs = Number(Compared(row)) + "x";
        std::string two_hop = row.has_two_hop ? Number(row.two_hop) : "-";
        std::string vs_two_hop = row.has_two_hop ? Number(TwoHopRatio(row)) + "x" : "-";
        const char* met = row.met < 0 ? "" : results.informative ? "info" : row.met ? "yes" : "NO";
        printf("%-12s %-52s %10s %10s %10s %10s %9s %-9s %-12s %s%s%s\n", row.section.c_str(), row.name.c_str(),
               Number(row.value).c_str(), floor.c_str(), two_hop.c_str(), vs.c_str(), vs_two_hop.c_str(),
               row.unit.c_str(), row.target.c_str(), met, row.note.empty() ? "" : "  ", row.note.c_str());
    }
    fflush(stdout);
}

static std::string Escaped(const std::string& s) {
    std::string out;
    for (char c : s) {
        if (c == '"' || c == '\\') out += '\\';
        if ((unsigned char)c < 0x20) continue;
        out += c;
    }
    return out;
}

static void JsonNumber(FILE* f, double v) {
    if (isfinite(v))
        fprintf(f, "%.6g", v);
    else
        fprintf(f, "null");
}

bool WriteJson(const Results& results, const std::string& path) {
    FILE* f = fopen(path.c_str(), "w");
    if (!f) return false;
    fprintf(f, "{\n  \"platform\": \"%s\",\n  \"mode\": \"%s\",\n  \"informative\": %s,\n",
            Escaped(results.platform).c_str(), Escaped(results.mode).c_str(), results.informative ? "true" : "false");
    if (!results.accel.empty()) fprintf(f, "  \"accel\": \"%s\",\n", Escaped(results.accel).c_str());
    fprintf(f, "  \"figures\": [\n");
    for (size_t k = 0; k < results.rows.size(); k++) {
        const Row& row = results.rows[k];
        fprintf(f, "    {\"section\": \"%s\", \"measure\": \"%s\", \"unit\": \"%s\", \"value\": ",
                Escaped(row.section).c_str(), Escaped(row.name).c_str(), Escaped(row.unit).c_str());
        JsonNumber(f, row.value);
        if (row.compare != COMPARE_NONE) {
            fprintf(f, ", \"floor\": ");
            JsonNumber(f, row.floor);
            fprintf(f, ", \"%s\": ", row.compare == COMPARE_RATIO ? "ratio_to_floor" : "added_over_floor");
            JsonNumber(f, Compared(row));
        }
        if (row.has_two_hop) {
            fprintf(f, ", \"two_hop_floor\": ");
            JsonNumber(f, row.two_hop);
            fprintf(f, ", \"ratio_to_two_hop_floor\": ");
            JsonNumber(f, TwoHopRatio(row));
        }
        if (!row.target.empty()) fprintf(f, ", \"target\": \"%s\"", Escaped(row.target).c_str());
        if (row.met >= 0 && !results.informative) fprintf(f, ", \"met\": %s", row.met ? "true" : "false");
        if (!row.note.empty()) fprintf(f, ", \"note\": \"%s\"", Escaped(row.note).c_str());
        fprintf(f, "}%s\n", k + 1 < results.rows.size() ? "," : "");
    }
    fprintf(f, "  ]");
    if (!results.real_stack.empty()) fprintf(f, ",\n  \"real_stack\": %s", results.real_stack.c_str());
    fprintf(f, "\n}\n");
    return fclose(f) == 0;
}

double Percentile(std::vector<int64_t>* samples, double percent) {
    if (samples->empty()) return 0;
    std::sort(samples->begin(), samples->end());
    size_t index = (size_t)(percent / 100.0 * (double)(samples->size() - 1) + 0.5);
    if (index >= samples->size()) index = samples->size() - 1;
    return (double)(*samples)[index];
}
