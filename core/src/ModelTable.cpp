// The mirror model table and its grid masks, generated once from the rules that define each shape.
#include "krv/ModelTable.h"

#include <cmath>
#include <functional>
#include <utility>

namespace MirrorKit {
namespace {

using Mask = std::vector<int32_t>;
using Runs = std::vector<std::vector<std::pair<int, int>>>;  // per grid row, inclusive column runs

Mask fromRule(uint32_t width, const std::function<bool(double r, double c)>& inside) {
    Mask mask(static_cast<size_t>(width) * width, 0);
    const double m = (static_cast<double>(width) - 1.0) / 2.0;
    for (uint32_t r = 0; r < width; ++r)
        for (uint32_t c = 0; c < width; ++c)
            mask[r * width + c] = inside(r - m, c - m) ? 1 : 0;
    return mask;
}

Mask disc(uint32_t width, double threshold) {
    return fromRule(width, [threshold](double dr, double dc) { return dr * dr + dc * dc <= threshold; });
}

Mask fromRuns(uint32_t width, const Runs& runs) {
    Mask mask(static_cast<size_t>(width) * width, 0);
    for (size_t r = 0; r < runs.size(); ++r)
        for (const auto& [first, last] : runs[r])
            for (int c = first; c <= last; ++c) mask[r * width + c] = 1;
    return mask;
}

// Segmented layouts, as runs of occupied columns per grid row.
const Runs kRuns111 = {{{4, 5}},  {{3, 7}},  {{1, 8}}, {{0, 10}}, {{0, 9}}, {{0, 10}}, {{0, 9}},
                       {{0, 10}}, {{0, 9}},  {{0, 10}}, {{0, 9}}, {{2, 8}},  {{3, 6}}, {{5, 5}}};
const Runs kRuns507 = {{{10, 11}}, {{9, 13}}, {{7, 14}}, {{6, 16}}, {{4, 17}}, {{3, 19}}, {{1, 20}}, {{0, 22}},
                       {{0, 21}},  {{0, 22}}, {{0, 21}}, {{0, 22}}, {{0, 21}}, {{0, 22}}, {{0, 21}}, {{0, 22}},
                       {{0, 21}},  {{0, 22}}, {{0, 21}}, {{0, 22}}, {{0, 21}}, {{0, 22}}, {{0, 21}}, {{2, 20}},
                       {{3, 18}},  {{5, 17}}, {{6, 15}}, {{8, 14}}, {{9, 12}}, {{11, 11}}};
const Runs kRuns1011 = {{{13, 14}, {16, 17}},
                        {{9, 10}, {12, 19}, {21, 22}},
                        {{7, 23}},
                        {{6, 25}},
                        {{4, 26}},
                        {{5, 26}},
                        {{4, 26}},
                        {{3, 28}},
                        {{1, 29}},
                        {{2, 29}},
                        {{1, 29}},
                        {{0, 31}},
                        {{0, 30}},
                        {{0, 31}},
                        {{0, 30}},
                        {{0, 31}},
                        {{0, 30}},
                        {{0, 31}},
                        {{0, 30}},
                        {{0, 31}},
                        {{0, 30}},
                        {{0, 31}},
                        {{0, 30}},
                        {{0, 31}},
                        {{0, 30}},
                        {{0, 31}},
                        {{0, 30}},
                        {{0, 31}},
                        {{0, 30}},
                        {{2, 29}},
                        {{1, 29}},
                        {{2, 29}},
                        {{3, 27}},
                        {{5, 26}},
                        {{4, 26}},
                        {{5, 26}},
                        {{6, 24}},
                        {{8, 8}, {11, 20}, {23, 23}},
                        {{12, 12}, {15, 15}, {18, 18}}};

struct Row {
    uint32_t count, width;
    bool segmented;
    DMLayout layout;
    const char* name;
    double stroke;
    std::function<Mask()> mask;
};

std::vector<Row> rows() {
    auto none = [] { return Mask{}; };
    return {
        {0, 0, false, DMSquareLayout, "None", 0.0, none},
        {32, 6, false, DMSquareLayout, "DMType01", 1500.0, none},
        {96, 96, false, DMLinearLayout, "DMType02", 1500.0, none},
        {111, 14, true, DMHexLayout, "DMType03", 1500.0, [] { return fromRuns(14, kRuns111); }},
        {137, 13, false, DMCircularLayout, "DMType04", 3500.0, [] { return disc(13, 41.0); }},
        {140, 12, false, DMSquareLayout, "DMType16", 1500.0, none},
        {144, 12, false, DMSquareLayout, "DMType16", 1500.0, none},
        {160, 12, false, DMSquareLayout, "DMType16", 1500.0, none},
        {255, 12, true, DMCircularLayout, "DMType05", 1500.0, none},
        {256, 18, false, DMCircularLayout, "DMType06", 1500.0, [] { return disc(18, 78.5); }},
        {276, 18, false, DMCircularLayout, "DMType07", 1500.0, [] { return disc(18, 86.5); }},
        {492, 24, false, DMCircularLayout, "DMType08", 1500.0,
         [] { return fromRule(24, [](double dr, double dc) { return std::fabs(dr) + std::fabs(dc) <= 17.5; }); }},
        {507, 30, true, DMHexLayout, "DMType09", 1500.0, [] { return fromRuns(30, kRuns507); }},
        {648, 28, false, DMCircularLayout, "DMType10", 5500.0, [] { return disc(28, 204.5); }},
        {952, 34, false, DMCircularLayout, "DMType11", 1500.0, [] { return disc(34, 302.5); }},
        {993, 12, true, DMHexLayout, "DMType12", 1500.0, none},
        {1011, 39, true, DMCircularLayout, "DMType13", 1500.0, [] { return fromRuns(39, kRuns1011); }},
        {1020, 32, false, DMSquareLayout, "DMType14", 1500.0, none},
        {1024, 32, false, DMSquareLayout, "DMType14", 1500.0, none},
        {2040, 50, false, DMCircularLayout, "DMType17", 1500.0, [] { return disc(50, 652.5); }},
        {2044, 50, false, DMSquareLayout, "DMType17", 1500.0, none},
        {2048, 50, false, DMSquareLayout, "DMType17", 1500.0, none},
        {3000, 12, true, DMHexLayout, "DMType18", 1500.0, none},
        {3063, 12, true, DMCircularLayout, "DMType15", 1500.0, none},
        {4092, 64, false, DMSquareLayout, "DMType19", 3500.0, none},
        {4096, 64, false, DMSquareLayout, "DMType19", 3500.0, none},
    };
}

struct Table {
    std::vector<DMModel> models;
    std::vector<Mask> masks;
};

const Table& table() {
    static const Table t = [] {
        Table built;
        const auto source = rows();
        built.masks.reserve(source.size());
        for (size_t i = 0; i < source.size(); ++i) {
            const Row& r = source[i];
            built.masks.push_back(r.mask());
            built.models.push_back(DMModel{r.count, r.width, r.segmented, r.layout, r.name, r.stroke, i});
        }
        return built;
    }();
    return t;
}

}  // namespace

const std::vector<int32_t>& DMModel::Mask() const { return table().masks.at(Row); }

const std::vector<DMModel>& modelTable() { return table().models; }

const DMModel* findModel(uint32_t actCount) {
    for (const DMModel& m : modelTable())
        if (m.ActCount == actCount) return &m;
    return nullptr;
}

uint32_t modelWidth(uint32_t actCount) {
    if (const DMModel* m = findModel(actCount)) return m->Width;
    return static_cast<uint32_t>(std::ceil(std::sqrt(static_cast<double>(actCount))));
}

DMLayout modelLayout(uint32_t actCount) {
    if (const DMModel* m = findModel(actCount)) return m->Layout;
    return DMSquareLayout;
}

}  // namespace MirrorKit
